#pragma once
// The foot of the sidebar while a library is open: a coloured dot with what
// the indexing engine is doing (and how far, as "n of m"), the gear that
// opens the settings window, and a thin progress bar while the engine counts
// through work. It follows every status report by repainting itself only;
// its height changes only when the detail line or the bar comes or goes.
// While a library's index is made again it follows that instead.

#include <QColor>
#include <QFont>
#include <QString>
#include <QStringList>
#include <QVariantAnimation>
#include <QWidget>

#include <memory>
#include <optional>

#include "App/AppModel.h"
#include "UI/Kit/Theme.h"

namespace vintrelle {

class LibraryStore;
class SymbolButton;

class StatusFooter : public QWidget {
    Q_OBJECT
public:
    struct Info {
        QString text;
        std::optional<QString> detail;
        std::optional<double> fraction;  // none: no progress bar
        ColorRef color = ThemeColor::accent;
        bool operator==(const Info&) const = default;
    };
    static constexpr int progressMs = 300;
    static const QColor upToDate;
    static const QColor offline;

    StatusFooter(std::shared_ptr<LibraryStore> store, QWidget* parent = nullptr);
    // Follows the model's rebuild of an index.
    StatusFooter(AppModel& model, QWidget* parent = nullptr);

    // What the footer shows for a store's state: an index gone from under it
    // first, then offline, then a damaged index or a run stopped by a failed
    // write, then the engine's status.
    static Info info(const LibraryStore& store);
    static Info info(const AppModel::Rebuilding& rebuild);
    const Info& shown() const { return info_; }
    // The bar's fill as drawn now (it glides to a new fraction).
    double drawnFraction() const { return drawn_; }
    SymbolButton* settingsButton() const { return gear_; }

    QSize sizeHint() const override;

signals:
    void settingsRequested();

protected:
    void paintEvent(QPaintEvent*) override;
    void resizeEvent(QResizeEvent*) override;

private:
    void setUp();
    Info current() const;
    void refresh();
    qreal rowHeight() const;
    qreal textWidth() const;
    QStringList textLines() const;  // the state, at the width it has
    qreal rowTop() const;

    QRectF barRect() const;

    std::shared_ptr<LibraryStore> store_;
    AppModel* model_ = nullptr;
    Info info_;
    double drawn_ = 0;
    // The state's lines as last wrapped, and for what: the bar glides at
    // every frame while batches arrive, and wrapping shapes the text anew.
    mutable QStringList lines_;
    mutable QString linesText_;
    mutable QFont linesFont_;
    mutable qreal linesWidth_ = -1;
    QVariantAnimation glide_;
    SymbolButton* gear_;
};

}  // namespace vintrelle
