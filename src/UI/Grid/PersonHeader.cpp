#include <QHBoxLayout>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

#include "App/AppModel.h"
#include "Core/Base/WallClock.h"
#include "Store/LibraryStore.h"
#include "App/ActionMenu.h"
#include "UI/Grid/RouteHeaders.h"
#include "UI/Kit/Fonts.h"
#include "UI/Kit/Icons.h"
#include "UI/Kit/Labels.h"
#include "UI/Kit/StoredImage.h"

namespace vintrelle {

namespace {

// A round face with a 1-px ring of the line colour drawn inside its edge.
class RingedFace : public StoredImage {
public:
    RingedFace(int side, bool ring, QWidget* parent) : StoredImage(parent), ring_(ring) {
        setCircular(true);
        setFixedSize(side, side);
    }

protected:
    void paintEvent(QPaintEvent* e) override {
        StoredImage::paintEvent(e);
        if (!ring_) return;
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(QPen(Theme::line(), 1));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
    }

private:
    bool ring_;
};

std::optional<std::string> faceFile(const LibraryStore& store, const Person& person) {
    if (!person.coverFaceID) return std::nullopt;
    return store.paths().faceURL(*person.coverFaceID);
}

// The person's name, or a grey "Add a name", with a pencil: click to name.
class NameButton : public QAbstractButton {
public:
    explicit NameButton(QWidget* parent) : QAbstractButton(parent) {
        setFocusPolicy(Qt::NoFocus);
        setFont(Fonts::font(30, QFont::Bold));
        setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    }
    void setName(const QString& text, bool placeholder) {
        if (text == this->text() && placeholder == placeholder_) return;
        placeholder_ = placeholder;
        setText(text);
        updateGeometry();
        update();
    }
    QSize sizeHint() const override {
        const QFontMetricsF fm(font());
        return {int(std::ceil(fm.horizontalAdvance(text()) + gap + pencil())), int(std::ceil(fm.height()))};
    }
    QSize minimumSizeHint() const override { return {int(pencil() + gap), sizeHint().height()}; }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const QFontMetricsF fm(font());
        const QString shown = fm.elidedText(text(), Qt::ElideRight, width() - gap - pencil());
        p.setFont(font());
        p.setPen(placeholder_ ? Theme::ink3() : Theme::ink());
        const qreal baseline = (height() - fm.height()) / 2 + fm.ascent();
        p.drawText(QPointF(0, baseline), shown);
        const qreal x = fm.horizontalAdvance(shown) + gap;
        Icons::paint(p, QRectF(x, 0, pencil(), height()), QStringLiteral("pencil"), 12, Theme::ink3(),
                     QFont::DemiBold);
    }

private:
    static constexpr qreal gap = 8;
    static qreal pencil() { return Icons::sideFor(12); }
    bool placeholder_ = false;
};

// A text button in the accent colour ("Merge").
class LinkButton : public QAbstractButton {
public:
    LinkButton(const QString& text, QWidget* parent) : QAbstractButton(parent) {
        setText(text);
        setFocusPolicy(Qt::NoFocus);
        setFont(Fonts::font(11.5, QFont::DemiBold));
    }
    QSize sizeHint() const override {
        const QFontMetricsF fm(font());
        return {int(std::ceil(fm.horizontalAdvance(text()))), int(std::ceil(fm.height()))};
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setFont(font());
        QColor c = Theme::accent();
        if (isDown()) c.setAlphaF(0.7f);
        p.setPen(c);
        const QFontMetricsF fm(font());
        p.drawText(QPointF(0, (height() - fm.height()) / 2 + fm.ascent()), text());
    }
};

// One suggested person: face, name (or photo count) and "Merge".
class SuggestionChip : public QWidget {
public:
    SuggestionChip(const LibraryStore& store, const Person& q, std::function<void()> merge, QWidget* parent)
        : QWidget(parent) {
        setToolTip(PersonHeader::tr("Combine these photos with this person"));
        face = new RingedFace(44, false, this);
        face->setSource(faceFile(store, q), store.thumbs(), 0);
        const QString label = q.name.empty() ? QString::fromStdString(Format::items(q.faceCount, "photo"))
                                             : QString::fromStdString(q.name);
        auto* name = new TextBlock(label, 11.5, QFont::Medium, ThemeColor::ink, this);
        name->setMaximumWidth(160);
        button = new LinkButton(PersonHeader::tr("Merge"), this);
        connect(button, &QAbstractButton::clicked, this, std::move(merge));
        auto* texts = new QVBoxLayout;
        texts->setSpacing(3);
        texts->addWidget(name);
        texts->addWidget(button, 0, Qt::AlignLeft);
        auto* row = new QHBoxLayout(this);
        row->setContentsMargins(7, 7, 13, 7);
        row->setSpacing(9);
        row->addWidget(face);
        row->addLayout(texts);
    }
    RingedFace* face;
    LinkButton* button;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        QPainterPath path;
        path.addRoundedRect(QRectF(rect()), 12, 12);
        p.fillPath(path, Theme::hover());
    }
};

}  // namespace

PersonHeader::PersonHeader(AppModel& model, LibraryStore& store, Person person, QWidget* parent)
    : RouteHeader(model, store, parent), person_(std::move(person)) {
    auto* row = new QWidget(this);
    row->setFixedHeight(rowHeight);
    face_ = new RingedFace(88, true, row);
    auto* nameButton = new NameButton(row);
    name_ = nameButton;
    connect(name_, &QAbstractButton::clicked, this, [this] { rename(); });
    count_ = new TextBlock(QString(), 12.5, QFont::Normal, ThemeColor::ink2, row);
    menu_ = new RoundMenuButton(ThemeColor::ink2, ThemeColor::hover, row);
    menu_->setMenuMaker([this](QWidget* parent) { return makeMenu(parent); });

    auto* texts = new QVBoxLayout;
    texts->setSpacing(5);
    texts->addStretch(1);
    texts->addWidget(name_);
    texts->addWidget(count_);
    texts->addStretch(1);
    auto* rowLayout = new QHBoxLayout(row);
    rowLayout->setContentsMargins(24, 0, 24, 0);
    rowLayout->setSpacing(18);
    rowLayout->addWidget(face_);
    rowLayout->addLayout(texts, 1);
    rowLayout->addWidget(menu_);

    suggestions_ = new QWidget(this);
    suggestions_->setFixedHeight(suggestionsHeight);
    auto* chips = new QWidget(suggestions_);
    chipRow_ = new QHBoxLayout(chips);
    chipRow_->setContentsMargins(24, 0, 24, 0);
    chipRow_->setSpacing(14);
    chipRow_->addWidget(new TextBlock(tr("Same person?"), 12, QFont::DemiBold, ThemeColor::ink2, chips));
    chipRow_->addStretch(1);
    auto* suggestionsLayout = new QVBoxLayout(suggestions_);
    suggestionsLayout->setContentsMargins(0, 0, 0, 0);
    suggestionsLayout->addWidget(chips);
    suggestionsLayout->addStretch(1);
    suggestions_->hide();

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(row);
    column->addWidget(suggestions_);
    column->addStretch(1);

    // Suggestions are asked for when the header appears, shows another
    // person, or the people change (the store forgets them then).
    connect(&store_, &LibraryStore::collectionsRevisionChanged, this, [this] { store_.loadSuggestions(person_.id); });
    store_.loadSuggestions(person_.id);
    refresh();
}

void PersonHeader::setPerson(Person person) {
    const bool other = person.id != person_.id;
    person_ = std::move(person);
    if (other) store_.loadSuggestions(person_.id);
    refresh();
}

std::vector<Person> PersonHeader::suggested(const LibraryStore& store, int64_t person) {
    std::vector<Person> out;
    const auto& all = store.mergeSuggestions();
    const auto it = all.find(person);
    if (it == all.end()) return out;
    for (int64_t id : it->second)
        if (auto p = store.person(id)) out.push_back(std::move(*p));
    return out;
}

int PersonHeader::heightFor(const LibraryStore& store, int64_t person) {
    return suggested(store, person).empty() ? rowHeight : rowHeight + suggestionsHeight;
}

std::vector<Person> PersonHeader::mergeTargets(const LibraryStore& store, int64_t person) {
    std::vector<Person> out;
    for (Person& p : store.visiblePersons()) {
        if (p.id == person) continue;
        if (out.size() == menuPeople) break;
        out.push_back(std::move(p));
    }
    return out;
}

QString PersonHeader::nameText() const {
    return person_.name.empty() ? tr("Add a name") : QString::fromStdString(person_.name);
}

QString PersonHeader::countText() const { return QString::fromStdString(Format::items(person_.faceCount, "item")); }

void PersonHeader::refresh() {
    face_->setSource(faceFile(store_, person_), store_.thumbs(), 0);
    static_cast<NameButton*>(name_)->setName(nameText(), person_.name.empty());
    count_->setText(countText());
    rebuildChips();
}

void PersonHeader::rebuildChips() {
    std::vector<Person> people = suggested(store_, person_.id);
    if (people == chipPeople_) return;
    for (QWidget* chip : chips_) {
        chipRow_->removeWidget(chip);
        chip->deleteLater();
    }
    chips_.clear();
    chipIDs_.clear();
    chipPeople_ = std::move(people);
    for (const Person& q : chipPeople_) {
        const int64_t id = q.id;
        auto* chip = new SuggestionChip(store_, q, [this, id] { mergeSuggested(id); }, chipRow_->parentWidget());
        chipRow_->insertWidget(chipRow_->count() - 1, chip);
        chips_.push_back(chip);
        chipIDs_.push_back(id);
    }
    suggestions_->setVisible(!chips_.empty());
}

bool PersonHeader::isLoading() const {
    if (face_->isLoading() || face_->isFading()) return true;
    return std::any_of(chips_.begin(), chips_.end(), [](QWidget* chip) {
        const StoredImage* face = static_cast<SuggestionChip*>(chip)->face;
        return face->isLoading() || face->isFading();
    });
}

QMenu* PersonHeader::makeMenu(QWidget* parent) {
    auto* menu = new QMenu(parent);
    const std::vector<Person> others = mergeTargets(store_, person_.id);
    if (!others.empty()) {
        QMenu* same = menu->addMenu(tr("This Is the Same Person As"));
        for (const Person& p : others) {
            const QString title = p.name.empty() ? QStringLiteral("Unnamed (%1)").arg(p.id) : QString::fromStdString(menuText(p.name));
            const int64_t id = p.id;
            same->addAction(title, this, [this, id] { mergeInto(id); });
        }
    }
    menu->addAction(tr("Don’t Show This Person"), this, [this] { hidePerson(); });
    model_.closeWithLibrary(menu);
    return menu;
}

void PersonHeader::mergeInto(int64_t target) {
    const int64_t source = person_.id;
    // The menu was built a while ago: either person may have been merged or
    // removed since, and a merge into a person that is gone loses both.
    if (source == target || !store_.person(source) || !store_.person(target)) return;
    AppModel& model = model_;
    store_.mergePerson(source, target);
    leave(Route::people());
    model.push(Route::person(target));
}

void PersonHeader::mergeSuggested(int64_t source) {
    const int64_t target = person_.id;
    if (source == target || !store_.person(source) || !store_.person(target)) return;
    store_.mergePerson(source, target);
}

void PersonHeader::hidePerson() {
    if (!store_.acceptsMarks()) return;
    try {
        store_.db().db().run("UPDATE persons SET hidden=? WHERE id=?", {int64_t{1}, person_.id});
    } catch (const DBError&) {
    }
    store_.reloadPeople();
    leave(Route::people());
}

void PersonHeader::rename() {
    AppModel::RenamePrompt prompt;
    prompt.target = {AppModel::RenamePrompt::Target::Kind::person, person_.id};
    prompt.title = tr("Who is this?").toStdString();
    prompt.text = person_.name;
    model_.setRenamePrompt(std::move(prompt));
}

}  // namespace vintrelle
