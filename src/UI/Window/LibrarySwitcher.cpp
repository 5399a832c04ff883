#include "UI/Window/LibrarySwitcher.h"

#include <QFontMetricsF>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>

#include <filesystem>

#include "App/ActionMenu.h"
#include "App/AppModel.h"
#include "App/DesktopServices.h"
#include "App/VolumeName.h"
#include "Store/LibraryStore.h"
#include "UI/Kit/Fonts.h"
#include "UI/Kit/Icons.h"
#include "UI/Kit/MessageSheet.h"
#include "UI/Kit/Theme.h"

namespace vintrelle {

namespace {

constexpr qreal padX = 7;
constexpr qreal padY = 6;
constexpr qreal tile = 30;
constexpr qreal gap = 9;
constexpr qreal tileRadius = 8;

QString folderName(const std::string& path) {
    std::filesystem::path p(path);
    if (!p.has_filename()) p = p.parent_path();
    const std::string name = p.filename().string();
    return QString::fromStdString(name.empty() ? path : name);
}

}  // namespace

LibrarySwitcher::LibrarySwitcher(AppModel& model, QWidget* parent) : QAbstractButton(parent), model_(model) {
    setFixedHeight(buttonHeight);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setFocusPolicy(Qt::NoFocus);
    connect(this, &QAbstractButton::clicked, this, &LibrarySwitcher::popup);
    connect(&model_, &AppModel::libraryPathChanged, this, [this] { update(); });
}

QString LibrarySwitcher::location(const std::optional<std::string>& libraryPath) {
    if (!libraryPath) return {};
    if (auto volume = volumeName(*libraryPath)) return QString::fromStdString(*volume);
    return tr("This Computer");
}

QString LibrarySwitcher::name(const std::optional<std::string>& libraryPath) {
    return libraryPath ? folderName(*libraryPath) : QStringLiteral("Vintrelle");
}

QSize LibrarySwitcher::sizeHint() const { return {216, buttonHeight}; }

void LibrarySwitcher::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const bool dark = Theme::isDark(this);
    auto c = [dark](ThemeColor t) { return Theme::color(t, dark); };
    const QRectF bounds = rect();
    QPainterPath shape;
    shape.addRoundedRect(bounds, cornerRadius, cornerRadius);
    p.fillPath(shape, c(ThemeColor::hover));

    const std::optional<std::string>& path = model_.libraryPath();
    const QString where = location(path);
    const QRectF tileRect(padX, (bounds.height() - tile) / 2, tile, tile);
    QColor tint = c(ThemeColor::accent);
    tint.setAlphaF(0.13f);
    QPainterPath tileShape;
    tileShape.addRoundedRect(tileRect, tileRadius, tileRadius);
    p.fillPath(tileShape, tint);
    const QString drive = where == tr("This Computer") ? QStringLiteral("internaldrive") : QStringLiteral("externaldrive");
    Icons::paint(p, tileRect, drive, 13, c(ThemeColor::accent), QFont::Medium);

    const qreal chevronSide = Icons::sideFor(9.5);
    const QRectF chevron(bounds.right() - padX - chevronSide, 0, chevronSide, bounds.height());
    Icons::paint(p, chevron, QStringLiteral("chevron.up.chevron.down"), 9.5, c(ThemeColor::ink3), QFont::DemiBold);

    const qreal textLeft = tileRect.right() + gap;
    const qreal textWidth = std::max<qreal>(0, chevron.left() - gap - textLeft);
    const QFont nameFont = Fonts::font(13, QFont::DemiBold), whereFont = Fonts::font(11);
    const QFontMetricsF nm(nameFont), wm(whereFont);
    const qreal blockHeight = nm.height() + 1 + wm.height();
    const qreal top = (bounds.height() - blockHeight) / 2;
    p.setFont(nameFont);
    p.setPen(c(ThemeColor::ink));
    p.drawText(QRectF(textLeft, top, textWidth, nm.height()), Qt::AlignLeft | Qt::AlignVCenter,
               nm.elidedText(name(path), Qt::ElideRight, textWidth));
    p.setFont(whereFont);
    p.setPen(c(ThemeColor::ink2));
    p.drawText(QRectF(textLeft, top + nm.height() + 1, textWidth, wm.height()), Qt::AlignLeft | Qt::AlignVCenter,
               wm.elidedText(where, Qt::ElideRight, textWidth));
}

QMenu* LibrarySwitcher::makeMenu(QWidget* parent) {
    auto* menu = new QMenu(parent);
    const std::optional<std::string> open = model_.libraryPath();
    for (const std::string& path : model_.libraries()) {
        QString title = QString::fromStdString(menuText(folderName(path).toStdString()));
        if (!model_.isReachable(path)) title += tr(" \u2014 not connected");
        QAction* item = menu->addAction(title, this, [this, path] { model_.openLibrary(path); });
        if (open == path) {
            item->setCheckable(true);
            item->setChecked(true);
        }
    }
    menu->addSeparator();
    menu->addAction(tr("Add Folder\u2026"), this, [this] { model_.chooseFolder(); });
    if (open) {
        const std::string path = *open;
        menu->addAction(tr("Show Folder in Files"), this, [this, path] { model_.services().openUrl(fileUrl(path)); });
        // Once the alert about a damaged index is dismissed, its offer stays here.
        if (model_.store() && model_.store()->isDamaged())
            menu->addAction(tr("Rebuild Index\u2026"), this, [this] { model_.offerIndexRebuild(); });
        menu->addAction(tr("Remove from Vintrelle\u2026"), this, [this, path] { confirmRemoval(path); });
    }
    return menu;
}

void LibrarySwitcher::popup() {
    std::unique_ptr<QMenu> menu(makeMenu());
    model_.services().popupMenu(std::move(menu), mapToGlobal(QPoint(0, height() + 4)));
}

MessageSheet* LibrarySwitcher::confirmRemoval(const std::string& path) {
    if (confirm_) confirm_->close();
    confirm_ = MessageSheet::present(
        this,
        {tr("Remove \u201C%1\u201D from Vintrelle?").arg(folderName(path)),
         tr("Your photos stay exactly where they are. Only this app stops showing the folder."), tr("Remove"),
         Sheet::Action::destructive},
        [model = QPointer<AppModel>(&model_), path] {
            if (model) model->removeLibrary(path);
        });
    return confirm_;
}

MessageSheet* LibrarySwitcher::pendingConfirmation() const { return confirm_; }

}  // namespace vintrelle
