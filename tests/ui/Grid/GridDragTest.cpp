#include <gtest/gtest.h>

#include <QUrl>

#include "UI/Grid/GridDrag.h"

using namespace vintrelle;

TEST(GridDrag, FileUrlsCarryTheBytesOnDisk) {
    // A Latin-1 name beside its UTF-8 twin, and characters a URL must escape.
    const auto mime = fileDragData("/media/u/Fotos", {"caf\xe9.jpg", "caf\xc3\xa9.jpg", "a #1?.jpg"});
    const QList<QUrl> urls = mime->urls();
    ASSERT_EQ(urls.size(), 3);
    EXPECT_EQ(urls[0].toEncoded(), "file:///media/u/Fotos/caf%E9.jpg");
    EXPECT_EQ(urls[1].toLocalFile(), QString::fromUtf8("/media/u/Fotos/caf\u00e9.jpg"));
    EXPECT_EQ(urls[2].toLocalFile(), QStringLiteral("/media/u/Fotos/a #1?.jpg"));
}
