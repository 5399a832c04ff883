#include <gtest/gtest.h>

#include "Core/Base/Text.h"

using namespace vintrelle;

// A Latin-1 name beside text that decodes: what decodes is transformed, the
// rest keeps its bytes, so two names never become one.
TEST(Text, BytesThatAreNotUtf8SurviveEveryTransform) {
    const std::string name = "IMG_\xc9t\xe9 Cafe\u0301.JPG";
    EXPECT_EQ(text::lowercased(name), "img_\xc9t\xe9 cafe\u0301.jpg");
    EXPECT_EQ(text::uppercased(name), "IMG_\xc9T\xe9 CAFE\u0301.JPG");
    EXPECT_EQ(text::caseFolded(name), "img_\xc9t\xe9 cafe\u0301.jpg");
    EXPECT_EQ(text::nfc(name), "IMG_\xc9t\xe9 Caf\u00e9.JPG");
    EXPECT_EQ(text::nfd(text::nfc(name)), name);
    EXPECT_NE(text::lowercased("\xe9t\xe9"), text::lowercased("\xe8t\xe8"));
}

TEST(Text, DisplayableShowsTheReplacementCharacter) {
    EXPECT_EQ(text::displayable("caf\xc3\xa9"), "caf\u00e9");
    EXPECT_EQ(text::displayable("caf\xe9.jpg"), "caf\ufffd.jpg");
    EXPECT_EQ(text::displayable("\xff\xfe"), "\ufffd\ufffd");
    EXPECT_EQ(text::displayable("a\xe2\x82"), "a\ufffd");  // one cut-off character, one mark
}
