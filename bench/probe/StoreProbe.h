#pragma once
// What the probe commands that open a library through the store share: a Qt
// application for the store's main thread, and the opening itself.

#include <QCoreApplication>

#include <clocale>
#include <filesystem>
#include <memory>
#include <string>

#include "Store/LibraryStore.h"

#undef emit  // Qt's keyword; the probe has a function of that name
#include "Probe.h"

namespace probe {

struct QtApp {
    int argc = 1;
    char name[16] = "vintrelle-probe";
    char* argv[2] = {name, nullptr};
    QCoreApplication app{argc, argv};
    QtApp() { setlocale(LC_NUMERIC, "C"); }
};

// The opened (not yet started) store, or nothing with the reason in error.
inline std::shared_ptr<vintrelle::LibraryStore> openStore(const std::string& dir, std::string& error) {
    std::error_code ec;
    if (!std::filesystem::is_directory(dir, ec)) {
        error = "not a folder: " + dir;
        return nullptr;
    }
    try {
        return vintrelle::LibraryStore::init(dir);
    } catch (const vintrelle::DBError& e) {
        error = e.isDiskFull() ? "The disk holding the index is full." : e.message;
        return nullptr;
    }
}

}  // namespace probe
