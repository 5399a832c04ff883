#include <gtest/gtest.h>

#include <cmath>
#include <unordered_set>

#include "Core/Index/Models.h"

using namespace vintrelle;

TEST(Models, AssetEqualityCoversEveryFieldCanonicalTextAndRawBytes) {
    Asset a;
    a.id = 1;
    a.path = "caf\u00e9/x.jpg";
    auto with = [&](auto change) {
        Asset b = a;
        change(b);
        return b;
    };
    EXPECT_EQ(a, with([](Asset& b) { b.path = "cafe\u0301/x.jpg"; }));  // NFD spelling
    EXPECT_NE(a, with([](Asset& b) { b.thumbState = 1; }));
    EXPECT_NE(a, with([](Asset& b) { b.lat = 1.0; }));
    // Linux file names are bytes; two names that differ only in bytes that are
    // not UTF-8 are two files, not one.
    a.path = "2021/IMG_\xff.jpg";
    EXPECT_NE(a, with([](Asset& b) { b.path = "2021/IMG_\xfe.jpg"; }));
    a.path = "2021/IMG_\u00e9.jpg";
    EXPECT_NE(a, with([](Asset& b) { b.path = "2021/IMG_\xe9.jpg"; }));  // Latin-1 e-acute beside its UTF-8 spelling
    PlaceBox p{1, 2, 3, 4, "caf\xe9"}, q{1, 2, 3, 4, "caf\xe8"};
    EXPECT_NE(p, q);
    a.taken = std::nan("");
    EXPECT_NE(a, a);  // NaN is unequal to itself
}

TEST(Models, PlaceBoxHashesSignedZeroAlike) {
    PlaceBox a{0.0, 1.0, -0.0, 2.0, "Paris"};
    PlaceBox b{-0.0, 1.0, 0.0, 2.0, "Paris"};
    EXPECT_EQ(a, b);
    EXPECT_EQ(std::hash<PlaceBox>{}(a), std::hash<PlaceBox>{}(b));
    std::unordered_set<PlaceBox> set{a};
    EXPECT_TRUE(set.count(b));
}

TEST(Models, PlaceAndTripTitlesAsShown) {
    auto pn = [](std::optional<std::string> l, std::optional<std::string> a, std::optional<std::string> c) {
        return PlaceName{l, a, c}.display();
    };
    EXPECT_EQ(pn("Paris", "\u00cele-de-France", "France"), "Paris, \u00cele-de-France");
    EXPECT_EQ(pn(std::nullopt, "Bavaria", "Germany"), "Bavaria, Germany");
    EXPECT_EQ(pn("Monaco", "Monaco", "Monaco"), "Monaco");
    EXPECT_EQ(pn("", std::nullopt, ""), std::nullopt);

    Trip t;
    t.autoTitle = "Lisbon";
    EXPECT_EQ(t.title(), "Lisbon");
    t.customTitle = "";
    EXPECT_EQ(t.title(), "Lisbon");
    t.customTitle = "Honeymoon";
    EXPECT_EQ(t.title(), "Honeymoon");
}
