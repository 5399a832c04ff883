#include <gtest/gtest.h>

#include <QUrl>

#include "UI/Grid/GridDrag.h"

using namespace vintrelle;

TEST(GridDrag, FileUrlsCarryTheBytesOnDisk) {
    // A Latin-1 name beside its UTF-8 twin, and characters a URL must escape;
    // stored paths that would leave the library are not offered.
    const auto mime = fileDragData(LibraryPaths{"/media/u/Fotos", "/media/u/Fotos/.vintrelle", true},
                                   {"caf\xe9.jpg", "../x.jpg", "caf\xc3\xa9.jpg", "/etc/x.jpg", "a #1?.jpg"});
    const QList<QUrl> urls = mime->urls();
    ASSERT_EQ(urls.size(), 3);
    EXPECT_EQ(urls[0].toEncoded(), "file:///media/u/Fotos/caf%E9.jpg");
    EXPECT_EQ(urls[1].toLocalFile(), QString::fromUtf8("/media/u/Fotos/caf\u00e9.jpg"));
    EXPECT_EQ(urls[2].toLocalFile(), QStringLiteral("/media/u/Fotos/a #1?.jpg"));
}
