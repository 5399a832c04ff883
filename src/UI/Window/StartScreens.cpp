#include "UI/Window/StartScreens.h"

#include <QHBoxLayout>
#include <QPainter>
#include <QPushButton>
#include <QSvgRenderer>
#include <QVBoxLayout>

#include <filesystem>

#include "App/AppModel.h"
#include "App/VolumeName.h"
#include "UI/Kit/Buttons.h"
#include "UI/Kit/EmptyState.h"
#include "UI/Kit/Labels.h"
#include "UI/Window/AppIcon.h"

namespace vintrelle {

namespace {

// One promise: a symbol over a title over a line of text, 230 px wide.
QWidget* promise(const QString& symbol, const QString& title, const QString& text, QWidget* parent) {
    auto* column = new QWidget(parent);
    column->setFixedWidth(230);
    auto* symbolView = new SymbolView(symbol, 16, QFont::Normal, ThemeColor::accent, column);
    auto* titleBlock = new TextBlock(title, 12.5, QFont::DemiBold, ThemeColor::ink, column);
    titleBlock->setAlignment(Qt::AlignHCenter);
    auto* textBlock = new TextBlock(text, 11.5, QFont::Normal, ThemeColor::ink2, column);
    textBlock->setAlignment(Qt::AlignHCenter);
    textBlock->setWordWrap(true);
    auto* layout = new QVBoxLayout(column);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(5);
    layout->addWidget(symbolView, 0, Qt::AlignHCenter);
    layout->addSpacing(4);
    layout->addWidget(titleBlock);
    layout->addWidget(textBlock);
    layout->addStretch(1);
    return column;
}

}  // namespace

// ---- welcome ------------------------------------------------------------------------

QString WelcomeView::headline() { return tr("Your backup, finally browsable."); }

WelcomeView::WelcomeView(AppModel& model, QWidget* parent) : WindowDragArea(parent) {
    auto* icon = new AppIcon(104, this);
    auto* title = new TextBlock(headline(), 34, QFont::Bold, ThemeColor::ink, this);
    title->setAlignment(Qt::AlignHCenter);
    auto* intro = new TextBlock(tr("Point Vintrelle at the folder where your photos live. It reads every subfolder, "
                                   "sorts everything by date, finds your trips and the people in them, and keeps up "
                                   "as you add more."),
                                14, QFont::Normal, ThemeColor::ink2, this);
    intro->setWordWrap(true);
    intro->setAlignment(Qt::AlignHCenter);
    intro->setLineSpacing(4);
    intro->setFixedWidth(470);
    choose_ = new QPushButton(tr("Choose a Folder"), this);
    PrimaryButtonStyle::apply(choose_, QStringLiteral("folder"));
    choose_->setCursor(Qt::PointingHandCursor);
    connect(choose_, &QPushButton::clicked, this, [&model] { model.chooseFolder(); });
    auto* hint = new TextBlock(tr("or drop a folder anywhere in this window"), 12, QFont::Normal, ThemeColor::ink3, this);
    hint->setAlignment(Qt::AlignHCenter);

    auto* promises = new QHBoxLayout;
    promises->setSpacing(28);
    promises->addStretch(1);
    promises->addWidget(promise(QStringLiteral("lock"), QStringLiteral("Nothing leaves your computer"),
                                QStringLiteral("No account, no upload, no tracking."), this),
                        0, Qt::AlignTop);
    promises->addWidget(promise(QStringLiteral("hand.raised"), QStringLiteral("Your files are never touched"),
                                QStringLiteral("Photos are only ever read."), this),
                        0, Qt::AlignTop);
    promises->addWidget(promise(QStringLiteral("externaldrive"), QStringLiteral("Travels with the drive"),
                                QStringLiteral("Plug it into any computer and carry on."), this),
                        0, Qt::AlignTop);
    promises->addStretch(1);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(40, 40, 40, 40);
    column->setSpacing(0);
    column->addStretch(1);
    column->addWidget(icon, 0, Qt::AlignHCenter);
    column->addSpacing(22);
    column->addWidget(title);
    column->addSpacing(12);
    column->addWidget(intro, 0, Qt::AlignHCenter);
    column->addSpacing(28);
    column->addWidget(choose_, 0, Qt::AlignHCenter);
    column->addSpacing(12);
    column->addWidget(hint);
    column->addSpacing(54);
    column->addLayout(promises);
    column->addStretch(1);
}

// ---- drive missing ----------------------------------------------------------------

QString DriveMissingView::driveName(const std::string& path) {
    if (const auto name = volumeName(path)) return u'\u201C' + QString::fromStdString(*name) + u'\u201D';
    return QStringLiteral("the drive");
}

QString DriveMissingView::title(const std::string& path) { return QStringLiteral("Plug in ") + driveName(path); }

QString DriveMissingView::message(const std::string& path) {
    // The last real component, also of a path that ends in "/".
    std::filesystem::path p(path);
    while (p.has_relative_path() && p.filename().empty()) p = p.parent_path();
    const std::string last = p.filename().string();
    return u'\u201C' + QString::fromStdString(last.empty() ? path : last) +
           QStringLiteral("\u201D lives on a drive that isn\u2019t connected. Vintrelle will open it by itself the "
                          "moment the drive appears.");
}

QString DriveMissingView::chooseTitle() { return QStringLiteral("Choose Another Folder\u2026"); }

DriveMissingView::DriveMissingView(AppModel& model, const std::string& path, QWidget* parent)
    : QWidget(parent), model_(model), path_(path) {
    block_ = new EmptyState(QStringLiteral("externaldrive.badge.questionmark"), title(path), message(path),
                            chooseTitle(), [&model] { model.chooseFolder(); }, this);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(block_);
}

void DriveMissingView::setPath(const std::string& path) {
    if (path == path_) return;
    path_ = path;
    block_->set(block_->symbol(), title(path), message(path), chooseTitle(), [this] { model_.chooseFolder(); });
}

}  // namespace vintrelle
