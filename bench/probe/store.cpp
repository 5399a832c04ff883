// vintrelle-probe store DIR: opens an indexed library through the store and
// reports what it loaded and how long loading took.

#include <QCoreApplication>
#include <QElapsedTimer>

#include <clocale>
#include <filesystem>

#include "Store/LibraryStore.h"

#undef emit  // Qt's keyword; the probe has a function of that name
#include "Probe.h"

namespace {

int store(const probe::Args& args) {
    if (args.size() != 1) return probe::fail("usage: vintrelle-probe store DIR");
    std::error_code ec;
    if (!std::filesystem::is_directory(args[0], ec)) return probe::fail("not a folder: " + args[0]);

    int argc = 1;
    char name[] = "vintrelle-probe";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    setlocale(LC_NUMERIC, "C");

    QElapsedTimer timer;
    timer.start();
    std::shared_ptr<vintrelle::LibraryStore> s;
    try {
        s = vintrelle::LibraryStore::init(args[0]);
    } catch (const vintrelle::DBError& e) {
        return probe::fail(e.message);
    }
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
