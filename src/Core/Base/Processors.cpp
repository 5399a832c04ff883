#include "Core/Base/Processors.h"

#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

namespace vintrelle {

int activeProcessorCount() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof(set), &set) != 0) return 1;
    return std::max(CPU_COUNT(&set), 1);
}

namespace {
std::atomic<bool> giveWayInBackground{true};
}  // namespace

void setBackgroundThreadsGiveWay(bool giveWay) { giveWayInBackground = giveWay; }

void moveThisThreadToTheBackground() {
    if (!giveWayInBackground) return;
    // On Linux both apply to the calling thread alone, not to its process.
    const sched_param param{};
    if (::sched_setscheduler(0, SCHED_IDLE, &param) == 0) return;
    ::setpriority(PRIO_PROCESS, ::gettid(), 19);
}

}  // namespace vintrelle
