#pragma once
// How many processors this process may run on now: those its affinity mask
// allows, which a container or taskset may keep below the machine's count;
// and the priority of threads that work in the background.

namespace vintrelle {

int activeProcessorCount();

// Puts the calling thread in the scheduler's idle class: it runs on the
// processors no ordinary thread wants, and gives way at once to one that
// wakes (the window's, its picture loaders). Where the class is refused,
// the thread takes the lowest priority a thread can take. Threads it starts
// from then on inherit it. Nothing can raise it again.
void moveThisThreadToTheBackground();

// Whether moveThisThreadToTheBackground() moves a thread at all (it does
// unless told otherwise). Work that gives way to every other thread on the
// machine ends in no bounded time beside other busy processes, so tests that
// wait for what such work computes keep its threads in the ordinary class.
void setBackgroundThreadsGiveWay(bool giveWay);

}  // namespace vintrelle
