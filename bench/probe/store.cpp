// vintrelle-probe store DIR: opens an indexed library through the store and
// reports what it loaded and how long loading took.

#include <QElapsedTimer>

#include "StoreProbe.h"

namespace {

int store(const probe::Args& args) {
    if (args.size() != 1) return probe::fail("usage: vintrelle-probe store DIR");
    probe::QtApp qt;
    QElapsedTimer timer;
    timer.start();
    std::string error;
    auto s = probe::openStore(args[0], error);
    if (!s) return probe::fail(error);
    s->start(false);
    while (!s->hasLoaded()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    const qint64 ms = timer.elapsed();

    probe::Json folders = probe::Json::array();
    for (const auto& node : s->folderTree()) folders.push_back({{"path", node.path}, {"count", node.count}});
    probe::emit({{"assets", s->assets().size()},
                 {"trips", s->trips().size()},
                 {"persons", s->persons().size()},
                 {"albums", s->albums().size()},
                 {"folders", folders},
                 {"ms", ms}});
    s->shutdown();
    return 0;
}

probe::Register reg("store", "DIR", store);

}  // namespace
