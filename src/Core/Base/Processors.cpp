#include "Core/Base/Processors.h"

#include <sched.h>

#include <algorithm>

namespace vintrelle {

int activeProcessorCount() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof(set), &set) != 0) return 1;
    return std::max(CPU_COUNT(&set), 1);
}

}  // namespace vintrelle
