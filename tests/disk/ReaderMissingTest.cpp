// An installation without its reader: a file left in flight by a run that
// ended abnormally must be read apart, and with no reader to do it the probe
// says so and fails, rather than report the library indexed without it.

#include <gtest/gtest.h>

#include <filesystem>

#include "Core/Engine/ReadJournal.h"
#include "Core/Index/LibraryDB.h"
#include "Core/Index/LibraryPaths.h"
#include "disk/ProbeRun.h"
#include "fixtures/MediaFixtures.h"
#include "fixtures/TempDir.h"

using namespace vintrelle;
namespace fs = std::filesystem;

TEST(ReaderMissing, TheProbeFailsSayingWhyAndIndexesEverythingWithItsReader) {
    fixtures::TempDir dir;
    const std::string root = dir / "Lib";
    fs::create_directories(root);
    ASSERT_TRUE(fixtures::makeJPEG(root + "/suspect.jpg", 64, 48));
    ASSERT_TRUE(fixtures::makeJPEG(root + "/other.jpg", 64, 48));
    {
        // What a kill while suspect.jpg was read leaves behind.
        LibraryPaths paths = LibraryPaths::resolve(root);
        paths.prepare();
        LibraryDB db(paths.databasePath());
        ReadJournal(paths.dataDir)
            .mayRead({db.db().insert("INSERT INTO assets(path, kind, size, mtime, added) VALUES(?,0,?,?,1)",
                                     {"suspect.jpg", int64_t(fs::file_size(root + "/suspect.jpg")), 1.0})});
    }
    // The probe installed alone: the same program, without the reader beside it.
    const std::string alone = dir / "alone/vintrelle-probe";
    fs::create_directories(dir / "alone");
    std::error_code linked;
    fs::create_hard_link(VINTRELLE_PROBE, alone, linked);
    if (linked) fs::copy_file(VINTRELLE_PROBE, alone);

    const std::string errors = dir / "errors.txt";
    const ProbeRun without = runProbe(alone, root, dir / "home", errors);
    EXPECT_EQ(without.status, 1);
    EXPECT_EQ(without.output,
              "{\"error\":\"Vintrelle\u2019s photo reader is missing: some photos wait to be read.\"}\n");
    EXPECT_NE(fixtures::readFile(errors).find(dir / "alone/vintrelle-reader could not be started"), std::string::npos)
        << fixtures::readFile(errors);

    const ProbeRun with = runProbe(VINTRELLE_PROBE, root, dir / "home");
    EXPECT_EQ(with.status, 0) << with.output;
    EXPECT_NE(with.output.find("{\"assets\":2,\"photos\":2,\"videos\":0,\"live\":0,\"failed\":0,"), std::string::npos)
        << with.output;
}
