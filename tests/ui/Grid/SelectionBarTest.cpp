// The selection bar: its count, its heart over mixed selections, its album
// menu and the actions it hands on.

#include <gtest/gtest.h>

#include "ScreenFixture.h"
#include "UI/Grid/SelectionBar.h"
#include "UI/Kit/Buttons.h"

using namespace screentest;

namespace {

struct Bar : Screen {
    Bar() : Screen({photo(1, 2020), photo(2, 2021), photo(3, 2022)}) {
        store().setFavorite({1}, true);
        actions.share = [this](const std::vector<int64_t>& ids) { calls.push_back({"share", ids}); };
        actions.exportCopy = [this](const std::vector<int64_t>& ids) { calls.push_back({"export", ids}); };
        actions.showInFiles = [this](const std::vector<int64_t>& ids) { calls.push_back({"files", ids}); };
    }
    SelectionBar::Actions actions;
    std::vector<std::pair<std::string, std::vector<int64_t>>> calls;
};

TEST(SelectionBar, HeartFollowsTheWholeSelection) {
    Bar s;
    QWidget host;
    SelectionBar bar(*s.model, s.store(), s.actions, &host);

    bar.setIds({1});  // one favourite: a filled accent heart that unfavourites
    EXPECT_TRUE(bar.isAllFavorite());
    EXPECT_EQ(bar.favoriteButton()->symbol(), "heart.fill");
    EXPECT_EQ(bar.favoriteButton()->toolTip(), "Remove from Favourites");
    EXPECT_EQ(bar.favoriteButton()->symbolColor(), Theme::accent());

    bar.setIds({1, 2});  // mixed: an empty heart that makes all of them favourites
    EXPECT_FALSE(bar.isAllFavorite());
    EXPECT_EQ(bar.favoriteButton()->symbol(), "heart");
    EXPECT_EQ(bar.favoriteButton()->toolTip(), "Add to Favourites");
    bar.favoriteButton()->click();
    EXPECT_TRUE(s.store().asset(1)->favorite && s.store().asset(2)->favorite);
    bar.refresh();
    EXPECT_TRUE(bar.isAllFavorite());
    bar.favoriteButton()->click();
    EXPECT_FALSE(s.store().asset(1)->favorite || s.store().asset(2)->favorite);

    // An id the store no longer holds is counted but is never a favourite.
    EXPECT_FALSE(SelectionBar::allFavorite(s.store(), {99}));
    EXPECT_TRUE(SelectionBar::allFavorite(s.store(), {}));
}

TEST(SelectionBar, CountUsesTheLocalesGrouping) {
    NumberLocaleScope en("en_US.UTF-8");
    EXPECT_EQ(SelectionBar::countText(1234), "1,234 selected");
    EXPECT_EQ(SelectionBar::countText(1), "1 selected");
    {
        NumberLocaleScope de("de_DE.UTF-8");
        EXPECT_EQ(SelectionBar::countText(1234), "1.234 selected");
    }
}

TEST(SelectionBar, AlbumMenuAndActionsActOnTheIds) {
    Bar s;
    QWidget host;
    SelectionBar bar(*s.model, s.store(), s.actions, &host);
    bar.setIds({3, 1});
    {
        std::unique_ptr<QMenu> menu(bar.makeAlbumMenu());
        EXPECT_EQ(titles(*menu), (std::vector<std::string>{"New Album…"}));  // no albums: no divider
        action(*menu, "New Album…")->trigger();
        ASSERT_TRUE(s.model->albumPrompt());
        EXPECT_EQ(s.model->albumPrompt()->assetIDs, (std::vector<int64_t>{3, 1}));
    }
    const int64_t trips = s.store().createAlbum("Trips & Tours", {});
    const int64_t gone = s.store().createAlbum("Gone", {});
    std::unique_ptr<QMenu> menu(bar.makeAlbumMenu());
    EXPECT_EQ(titles(*menu), (std::vector<std::string>{"New Album…", "-", "Trips && Tours", "Gone"}));
    action(*menu, "Trips && Tours")->trigger();
    EXPECT_EQ(s.store().album(trips)->assetIDs, (std::vector<int64_t>{3, 1}));
    // Deleted while the menu was open: nothing is written for it.
    s.store().deleteAlbum(gone);
    action(*menu, "Gone")->trigger();
    EXPECT_EQ(s.db().db().scalarInt("SELECT COUNT(*) FROM album_assets WHERE album_id=?", {gone}), 0);

    bar.shareButton()->click();
    bar.exportButton()->click();
    bar.showInFilesButton()->click();
    EXPECT_EQ(s.calls, (decltype(s.calls){{"share", {3, 1}}, {"export", {3, 1}}, {"files", {3, 1}}}));
    EXPECT_EQ(bar.showInFilesButton()->toolTip(), "Show in Files");

    s.model->setSelection({1, 3});
    bar.clearButton()->click();
    EXPECT_TRUE(s.model->selection().empty());
}

}  // namespace
