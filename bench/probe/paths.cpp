#include "Core/Index/LibraryPaths.h"
#include "Probe.h"

namespace {

int paths(const probe::Args& args) {
    if (args.size() != 1) return probe::fail("usage: vintrelle-probe paths DIR");
    auto p = vintrelle::LibraryPaths::resolve(args[0]);
    p.prepare();
    probe::emit({{"root", p.root}, {"dataDir", p.dataDir}, {"portable", p.portable}});
    return 0;
}

probe::Register reg("paths", "DIR", paths);

}  // namespace
