// Indexing onto a disk that fills up, for real: the data folder lies on a
// small tmpfs mounted in the tests' own mount namespace, filled before or
// during a run. The run stops with its reason instead of "Up to date",
// nothing is stored as unreadable for want of room, and once room is made
// indexing goes on where it stopped: by itself in the open window, and in
// the probe when it is run again.

#include <gtest/gtest.h>


#include <fcntl.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "Core/Engine/LibraryEngine.h"
#include "Core/Media/MediaProcessor.h"
#include "Store/LibraryStore.h"
#include "fixtures/MediaFixtures.h"
#include "fixtures/TempDir.h"
#include "disk/ProbeRun.h"
#include "store/StoreFixture.h"

using namespace vintrelle;
using storetest::spinUntil;
namespace fs = std::filesystem;

namespace {

constexpr int kPhotos = 40;

bool privateMounts() {
    const char* v = std::getenv("VINTRELLE_PRIVATE_MOUNTS");
    return v && std::string(v) == "1";
}

// A tmpfs of a given size; filling it leaves a file that can be deleted to
// make room again.
class SmallDisk {
public:
    explicit SmallDisk(const std::string& at, int kib) : path_(at) {
        fs::create_directories(path_);
        const std::string options = "size=" + std::to_string(kib) + "k";
        mounted_ = ::mount("tmpfs", path_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0;
    }
    ~SmallDisk() {
        if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    const std::string& path() const { return path_; }
    uint64_t freeBytes() const {
        struct statvfs st {};
        return ::statvfs(path_.c_str(), &st) == 0 ? uint64_t(st.f_bavail) * st.f_frsize : 0;
    }
    // Leaves about `room` bytes free.
    void fill(uint64_t room) {
        const int fd = ::open((path_ + "/filler").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        const std::string block(4096, 'x');
        while (freeBytes() > room + block.size())
            if (::write(fd, block.data(), block.size()) != ssize_t(block.size())) break;
        ::close(fd);
    }
    void makeRoom() { fs::remove(path_ + "/filler"); }

private:
    std::string path_;
    bool mounted_ = false;
};

// A library of photos on a folder that cannot be written, as a backup drive
// mounted read-only: its data folder lives under XDG_DATA_HOME, here on the
// small disk.
struct ReadOnlyLibrary {
    fixtures::TempDir dir;
    std::string source = dir / "photos";
    std::string root = dir / "Backup";
    bool ready = false;

    ReadOnlyLibrary() {
        fs::create_directories(source + "/2023");
        for (int i = 0; i < kPhotos; ++i)
            if (!fixtures::makeJPEG(source + "/2023/IMG_" + std::to_string(1000 + i) + ".jpg", 160, 120,
                                    {uint8_t(i * 6), 90, uint8_t(255 - i * 6)}))
                return;
        fs::create_directories(root);
        ready = ::mount(source.c_str(), root.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
                ::mount(nullptr, root.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
    }
    ~ReadOnlyLibrary() { ::umount2(root.c_str(), MNT_DETACH); }
};

struct Counts {
    int64_t rows = 0, read = 0, failed = 0, thumbsMissing = 0;
};

Counts countsOf(LibraryStore& store) {
    Counts c;
    store.db().db().forEachRow("SELECT id, meta_done, thumb FROM assets", {}, [&](const Row& r) {
        ++c.rows;
        if (r.int64(1) == 1) ++c.read;
        if (r.int64(2) == 2) ++c.failed;
        if (r.int64(2) == 1 && !fs::exists(store.paths().thumbURL(r.int64(0)))) ++c.thumbsMissing;
    });
    return c;
}

struct FullDisk : ::testing::Test {
    static void SetUpTestSuite() { MediaProcessor::initialize(); }
    void SetUp() override {
        if (!privateMounts()) GTEST_SKIP() << "no mount namespace of our own here";
    }
};

}  // namespace

TEST_F(FullDisk, IndexingStopsSaysWhyAndGoesOnOnceThereIsRoom) {
    struct Row {
        const char* name;
        uint64_t room;  // left free when indexing starts
    } rows[] = {
        {"no room for the new rows", 0},
        {"room runs out while the photos are read", 64 << 10},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ReadOnlyLibrary lib;
        ASSERT_TRUE(lib.ready);
        SmallDisk disk(lib.dir / "home", 4096);
        ASSERT_TRUE(disk.mounted());
        setenv("XDG_DATA_HOME", disk.path().c_str(), 1);
        auto store = LibraryStore::init(lib.root);
        ASSERT_TRUE(store->paths().dataDir.starts_with(disk.path()));
        store->setRetryInterval(std::chrono::milliseconds(50));
        disk.fill(row.room);
        store->start(false);
        ASSERT_TRUE(spinUntil([&] { return store->halt().has_value(); }, 60'000)) << "never stopped";
        EXPECT_EQ(store->halt(), EngineHalt::diskFull);
        EXPECT_EQ(store->status(), EngineStatus::idle());
        Counts before = countsOf(*store);
        EXPECT_LT(before.read, kPhotos);
        EXPECT_EQ(before.failed, 0) << "a photo was stored as unreadable for want of room";
        EXPECT_EQ(before.thumbsMissing, 0);
        EXPECT_EQ(int64_t(store->assets().size()), before.read);

        // Room is made while the window is open: it goes on by itself.
        disk.makeRoom();
        ASSERT_TRUE(spinUntil([&] {
            return !store->halt() && store->status() == EngineStatus::idle() && !store->engine()->isRunning() &&
                   countsOf(*store).read == kPhotos;
        }, 60'000)) << "never went on";
        const Counts after = countsOf(*store);
        EXPECT_EQ(after.rows, kPhotos);
        EXPECT_EQ(after.failed, 0);
        EXPECT_EQ(after.thumbsMissing, 0);
        EXPECT_EQ(int(store->assets().size()), kPhotos);
        store->shutdown();
    }
}

TEST_F(FullDisk, TheProbeFailsWithTheReasonAndIndexesEverythingOnceThereIsRoom) {
    ReadOnlyLibrary lib;
    ASSERT_TRUE(lib.ready);
    SmallDisk disk(lib.dir / "home", 4096);
    ASSERT_TRUE(disk.mounted());
    // The data folder and the empty index exist, as a first open leaves them.
    setenv("XDG_DATA_HOME", disk.path().c_str(), 1);
    LibraryStore::init(lib.root)->shutdown();
    disk.fill(64 << 10);
    const ProbeRun full = runProbe(VINTRELLE_PROBE, lib.root, disk.path());
    EXPECT_EQ(full.status, 1);
    EXPECT_EQ(full.output, "{\"error\":\"The disk holding the index is full.\"}\n");

    disk.makeRoom();
    const ProbeRun again = runProbe(VINTRELLE_PROBE, lib.root, disk.path());
    EXPECT_EQ(again.status, 0) << again.output;
    EXPECT_NE(again.output.find("{\"assets\":" + std::to_string(kPhotos) + ",\"photos\":" + std::to_string(kPhotos) +
                                ",\"videos\":0,\"live\":0,\"failed\":0,"),
              std::string::npos)
        << again.output;
}
