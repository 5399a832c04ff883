#pragma once
// The left column of the main window: a strip that moves the window, the
// library switcher, and while a library is open the navigation rows (the
// library's four views, the collections with one row per album, the folder
// tree) over the status footer. A click on a row goes to its route; the
// folder tree's chevrons expand and collapse folders, remembered by path for
// as long as the sidebar is shown.

#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "App/Route.h"

class QScrollArea;

namespace vintrelle {

class AppModel;
class LibrarySwitcher;
class LibraryStore;
class SidebarList;
class StatusFooter;
struct FolderNode;

// One line of the list: a heading, or a row that goes somewhere.
struct SidebarRow {
    enum class Kind { heading, row };
    Kind kind = Kind::row;
    QString title;
    QString symbol;
    int indent = 0;                  // levels of 14 px before the icon column
    std::optional<int> count;        // shown only above 0
    bool selected = false;
    bool showIcon = true;            // false: the icon column stays, blank
    std::optional<bool> disclosure;  // none: no chevron; else whether expanded
    std::function<void()> action;
    std::function<void()> onDisclosure;
    QRectF rect;                     // in the list's coordinates
};

class SidebarView : public QWidget {
    Q_OBJECT
public:
    explicit SidebarView(AppModel& model, QWidget* parent = nullptr);
    ~SidebarView() override;

    // The rows as they are shown now; empty without a library.
    const std::vector<SidebarRow>& rows() const;
    // The first row with this title, or null.
    const SidebarRow* row(const QString& title) const;
    SidebarList* list() const { return list_; }
    StatusFooter* footer() const { return footer_; }
    LibrarySwitcher* switcher() const { return switcher_; }
    QWidget* dragStrip() const { return strip_; }
    const std::set<std::string>& expanded() const { return expanded_; }

signals:
    // The footer's gear was clicked.
    void settingsRequested();

protected:
    void paintEvent(QPaintEvent*) override;

private:
    void rebuildLibraryPart();
    void refresh();
    void addFolderRows(std::vector<SidebarRow>& out, const FolderNode& node, int depth);

    AppModel& model_;
    std::shared_ptr<LibraryStore> store_;  // the library the rows show
    std::set<std::string> expanded_;
    QWidget* strip_;
    LibrarySwitcher* switcher_;
    QScrollArea* scroll_ = nullptr;
    SidebarList* list_ = nullptr;
    StatusFooter* footer_ = nullptr;
    QWidget* filler_ = nullptr;
};

// The painted list of rows inside the sidebar's scroll area.
class SidebarList : public QWidget {
    Q_OBJECT
public:
    static constexpr qreal rowHeight = 29;
    static constexpr qreal rowSpacing = 1;
    static constexpr qreal sidePadding = 10;
    static constexpr qreal bottomPadding = 12;
    static constexpr qreal cornerRadius = 7;

    explicit SidebarList(QWidget* parent = nullptr);

    void setRows(std::vector<SidebarRow> rows);
    const std::vector<SidebarRow>& rows() const { return rows_; }
    // The count as shown: the user's digits, nothing for none or 0.
    static QString countText(const SidebarRow& row);
    // The chevron's frame of a row with a disclosure.
    QRectF disclosureRect(const SidebarRow& row) const;
    int hoveredRow() const { return hovered_; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent*) override;
    void resizeEvent(QResizeEvent*) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void leaveEvent(QEvent*) override;

private:
    void layoutRows();
    int rowAt(QPointF p) const;
    void paintRow(QPainter& p, const SidebarRow& row, bool hovered, bool dark) const;
    void paintHeading(QPainter& p, const SidebarRow& row, bool dark) const;

    std::vector<SidebarRow> rows_;
    qreal contentHeight_ = 0;
    int hovered_ = -1;
    int pressed_ = -1;
    bool pressedChevron_ = false;
};

}  // namespace vintrelle
