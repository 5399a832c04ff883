#pragma once
// How many processors this process may run on now: those its affinity mask
// allows, which a container or taskset may keep below the machine's count.

namespace vintrelle {

int activeProcessorCount();

}  // namespace vintrelle
