#pragma once
// The 52-px bar at the top of the main column while a library is open: the
// sidebar button, the back button after drilling down, the route's title with
// what it holds under it, and on the asset routes the thumbnail-size slider
// and the search field. The bar is also a piece of title bar: its empty parts
// and the title move the window.

#include <QWidget>

#include <memory>

#include "UI/Kit/WindowDragArea.h"

class QLineEdit;

namespace vintrelle {

class AppModel;
class BarButton;
class LibraryStore;
class SymbolButton;
class TextBlock;
class ThumbSizeSlider;

// The search field: a magnifier, the text and a clear button on a rounded
// fill, ringed in the accent colour while it has the keyboard.
class SearchField : public QWidget {
    Q_OBJECT
public:
    static constexpr QSize fieldSize{250, 28};
    static constexpr qreal cornerRadius = 8;

    explicit SearchField(AppModel& model, QWidget* parent = nullptr);

    QLineEdit* edit() const { return edit_; }
    SymbolButton* clearButton() const { return clear_; }
    bool isFocused() const;

protected:
    void paintEvent(QPaintEvent*) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    void follow();

    AppModel& model_;
    QLineEdit* edit_;
    SymbolButton* clear_;
};

class TopBar : public WindowDragArea {
    Q_OBJECT
public:
    TopBar(AppModel& model, std::shared_ptr<LibraryStore> store, QWidget* parent = nullptr);

    QString title() const;
    QString subtitleText() const;
    BarButton* sidebarButton() const { return sidebar_; }
    BarButton* backButton() const { return back_; }
    // The slider with its two symbols; shown on asset routes only.
    QWidget* sizeControl() const { return sizeControl_; }
    ThumbSizeSlider* slider() const { return slider_; }
    SearchField* searchField() const { return search_; }

private:
    void refreshRoute();
    void refreshSubtitle();
    void focusSearch();

    AppModel& model_;
    std::shared_ptr<LibraryStore> store_;
    BarButton* sidebar_;
    BarButton* back_;
    TextBlock* title_;
    TextBlock* subtitle_;
    QWidget* sizeControl_;
    ThumbSizeSlider* slider_;
    SearchField* search_;
};

}  // namespace vintrelle
