#include <gtest/gtest.h>

#include <cmath>
#include <unordered_set>

#include "Core/Index/Models.h"

using namespace vintrelle;

TEST(Models, AssetEqualityCoversEveryFieldAndCanonicalText) {
    Asset a;
    a.id = 1;
    a.path = "caf\u00e9/x.jpg";
    Asset b = a;
    b.path = "cafe\u0301/x.jpg";  // NFD spelling
    EXPECT_EQ(a, b);
    b = a;
    b.thumbState = 1;
    EXPECT_NE(a, b);
    b = a;
    b.lat = 1.0;
    EXPECT_NE(a, b);
    a.taken = std::nan("");
    EXPECT_NE(a, a);  // NaN is unequal to itself
}

TEST(Models, FileNamesThatAreNotUtf8StayDistinct) {
    // Linux file names are bytes; two names that differ only in bytes that are
    // not UTF-8 are two files, not one.
    Asset a;
    a.path = "2021/IMG_\xff.jpg";
    Asset b = a;
    b.path = "2021/IMG_\xfe.jpg";
    EXPECT_NE(a, b);
    b.path = "2021/IMG_\xe9.jpg";  // Latin-1 e-acute, beside its UTF-8 spelling
    a.path = "2021/IMG_\u00e9.jpg";
    EXPECT_NE(a, b);
    PlaceBox p{1, 2, 3, 4, "caf\xe9"}, q{1, 2, 3, 4, "caf\xe8"};
    EXPECT_NE(p, q);
}

TEST(Models, MediaKindFromRaw) {
    EXPECT_EQ(mediaKindFromRaw(0), MediaKind::photo);
    EXPECT_EQ(mediaKindFromRaw(1), MediaKind::video);
    EXPECT_FALSE(mediaKindFromRaw(7).has_value());
}

TEST(Models, PlaceBoxHashesSignedZeroAlike) {
    PlaceBox a{0.0, 1.0, -0.0, 2.0, "Paris"};
    PlaceBox b{-0.0, 1.0, 0.0, 2.0, "Paris"};
    EXPECT_EQ(a, b);
    EXPECT_EQ(std::hash<PlaceBox>{}(a), std::hash<PlaceBox>{}(b));
    std::unordered_set<PlaceBox> set{a};
    EXPECT_TRUE(set.count(b));
}

TEST(Models, PlaceNameDisplay) {
    auto pn = [](std::optional<std::string> l, std::optional<std::string> a, std::optional<std::string> c) {
        return PlaceName{l, a, c}.display();
    };
    EXPECT_EQ(pn("Paris", "\u00cele-de-France", "France"), "Paris, \u00cele-de-France");
    EXPECT_EQ(pn(std::nullopt, "Bavaria", "Germany"), "Bavaria, Germany");
    EXPECT_EQ(pn("Monaco", "Monaco", "Monaco"), "Monaco");
    EXPECT_EQ(pn("", std::nullopt, ""), std::nullopt);
}

TEST(Models, TripTitlePrefersNonEmptyCustomTitle) {
    Trip t;
    t.autoTitle = "Lisbon";
    EXPECT_EQ(t.title(), "Lisbon");
    t.customTitle = "";
    EXPECT_EQ(t.title(), "Lisbon");
    t.customTitle = "Honeymoon";
    EXPECT_EQ(t.title(), "Honeymoon");
}
