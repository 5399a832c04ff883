// Routes: equality, hashing and the text form that reads back.

#include <gtest/gtest.h>

#include <unordered_set>

#include "App/Route.h"

using namespace vintrelle;

namespace {

PlaceBox box(double minLat, double maxLat, double minLon, double maxLon, std::string title) {
    return PlaceBox{minLat, maxLat, minLon, maxLon, std::move(title)};
}

TEST(Route, TextFormReadsBack) {
    const std::pair<Route, std::string> rows[] = {
        {Route::library(), "library"},
        {Route::albums(), "albums"},
        {Route::trip(3), "trip(3)"},
        {Route::person(-7), "person(-7)"},
        {Route::album(9007199254740993), "album(9007199254740993)"},
        {Route::folder("2021/Rome"), "folder(2021/Rome)"},
        {Route::folder("a)|b"), "folder(a)|b)"},
        {Route::folder(""), "folder()"},
        {Route::place(box(10, 20.5, -9.125, 0.1, "Lisbon, (old) town")), "place(10,20.5,-9.125,0.1,Lisbon, (old) town)"},
        {Route::place(box(-0.0, 1, 2, 3, "")), "place(0,1,2,3,)"},
    };
    for (const auto& [route, text] : rows) {
        EXPECT_EQ(route.text(), text);
        const auto back = Route::parse(text);
        ASSERT_TRUE(back) << text;
        EXPECT_EQ(*back, route) << text;
        EXPECT_EQ(back->text(), text);
    }
    for (const char* bad : {"", "Library", "library()", "trip", "trip()", "trip(3", "trip(x)", "trip(3)x", "folder",
                            "place(1,2,3)", "place(1,2,3,x,t)", "nowhere(1)"})
        EXPECT_FALSE(Route::parse(bad)) << bad;
}

TEST(Route, EqualityAndHashing) {
    // Built separately, equal in every field: equal and hashed alike, the
    // zeros of either sign and the two spellings of one title included.
    const Route a = Route::place(box(0.0, 1, -0.0, 2, "Caf\u00e9"));
    const Route b = Route::place(box(-0.0, 1, 0.0, 2, "Cafe\u0301"));
    EXPECT_EQ(a, b);
    EXPECT_EQ(std::hash<Route>{}(a), std::hash<Route>{}(b));
    EXPECT_EQ(a.text(), b.text());

    const Route different[] = {Route::library(),  Route::trips(),          Route::trip(1),
                               Route::person(1),  Route::album(1),         Route::trip(2),
                               Route::folder("1"), Route::folder("1/2"),   Route::place(box(0, 1, 0, 2, "x")),
                               a};
    std::unordered_set<Route> set(std::begin(different), std::end(different));
    std::unordered_set<std::string> texts;
    for (const Route& r : different) texts.insert(r.text());
    EXPECT_EQ(set.size(), std::size(different));
    EXPECT_EQ(texts.size(), std::size(different));
    EXPECT_TRUE(set.count(b));
}

}  // namespace
