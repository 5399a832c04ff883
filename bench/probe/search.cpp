// vintrelle-probe search DIR "QUERY": opens an indexed library through the
// store and reports what the search field would find there, and how long the
// search alone took.

#include <QElapsedTimer>

#include "StoreProbe.h"

namespace {

int search(const probe::Args& args) {
    if (args.size() != 2) return probe::fail("usage: vintrelle-probe search DIR QUERY");
    probe::QtApp qt;
    std::string error;
    auto s = probe::openStore(args[0], error);
    if (!s) return probe::fail(error);
    s->start(false);
    while (!s->hasLoaded()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);

    QElapsedTimer timer;
    timer.start();
    const std::vector<vintrelle::Asset> found = s->search(s->assets(), args[1]);
    const double ms = double(timer.nsecsElapsed()) / 1e6;

    probe::Json paths = probe::Json::array();
    for (size_t i = 0; i < found.size() && i < 10; ++i) paths.push_back(found[i].path);
    probe::emit({{"count", found.size()}, {"paths", paths}, {"ms", ms}});
    s->shutdown();
    return 0;
}

probe::Register reg("search", "DIR QUERY", search);

}  // namespace
