#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

#include "App/AppModel.h"
#include "Store/LibraryStore.h"
#include "UI/Grid/RouteHeaders.h"
#include "UI/Kit/Buttons.h"
#include "UI/Kit/Fonts.h"
#include "UI/Kit/Labels.h"
#include "UI/Kit/MessageSheet.h"

namespace vintrelle {

AlbumHeader::AlbumHeader(AppModel& model, LibraryStore& store, Album album, QWidget* parent)
    : RouteHeader(model, store, parent), album_(std::move(album)) {
    auto* eyebrow = new TextBlock(tr("ALBUM"), 10.5, QFont::DemiBold, ThemeColor::ink3, this);
    QFont small = eyebrow->font();
    small.setLetterSpacing(QFont::AbsoluteSpacing, 0.9);
    small.setCapitalization(QFont::AllUppercase);
    eyebrow->setFont(small);
    name_ = new TextBlock(QString::fromStdString(album_.name), 30, QFont::Bold, ThemeColor::ink, this);
    name_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);  // one line, cut at the end

    rename_ = new QPushButton(tr("Rename"), this);
    QuietButtonStyle::apply(rename_);
    delete_ = new QPushButton(tr("Delete Album"), this);
    QuietButtonStyle::apply(delete_);
    // A click leaves the keyboard with the grid.
    rename_->setFocusPolicy(Qt::TabFocus);
    delete_->setFocusPolicy(Qt::TabFocus);
    connect(rename_, &QPushButton::clicked, this, [this] {
        AppModel::RenamePrompt prompt;
        prompt.target = {AppModel::RenamePrompt::Target::Kind::album, album_.id};
        prompt.title = tr("Rename Album").toStdString();
        prompt.text = album_.name;
        model_.setRenamePrompt(std::move(prompt));
    });
    connect(delete_, &QPushButton::clicked, this, [this] { confirmDelete(); });

    auto* texts = new QVBoxLayout;
    texts->setSpacing(5);
    texts->addStretch(1);
    texts->addWidget(eyebrow);
    texts->addWidget(name_);
    texts->addStretch(1);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(24, 0, 24, 0);
    row->addLayout(texts, 1);
    row->addWidget(rename_);
    row->addWidget(delete_);
}

void AlbumHeader::setAlbum(Album album) {
    album_ = std::move(album);
    name_->setText(nameText());
}

QString AlbumHeader::nameText() const { return QString::fromStdString(album_.name); }

MessageSheet* AlbumHeader::confirmDelete() {
    if (confirmation_) return confirmation_;
    const int64_t id = album_.id;
    // Acts on the album the question named, and only while its header (and
    // so its library) is still there.
    AppModel* model = &model_;
    LibraryStore* store = &store_;
    QPointer<AlbumHeader> self(this);
    confirmation_ = MessageSheet::present(this,
                                          {tr("Delete the album \u201C%1\u201D?").arg(nameText()),
                                           tr("The photos themselves stay in your library."), tr("Delete Album"),
                                           Sheet::Action::destructive},
                                          [model, store, self, id] {
                                              if (!self) return;  // the header's library may be closed by now
                                              store->deleteAlbum(id);
                                              model->navigate(Route::albums());
                                          });
    model_.closeWithLibrary(confirmation_);
    return confirmation_;
}

}  // namespace vintrelle
