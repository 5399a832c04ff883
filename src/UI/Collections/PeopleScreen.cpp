#include "UI/Collections/PeopleScreen.h"

#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QPushButton>

#include <algorithm>

#include "App/ActionMenu.h"
#include "App/AppModel.h"
#include "Core/Base/WallClock.h"
#include "Store/LibraryStore.h"
#include "UI/Collections/CardPainting.h"
#include "UI/Collections/FaceModelStatus.h"
#include "UI/Collections/PersonDrag.h"
#include "UI/Kit/Fonts.h"
#include "UI/Kit/MessageSheet.h"
#include "UI/Kit/Theme.h"

namespace vintrelle {

namespace {

constexpr qreal kGap = 9, kTextGap = 2, kNamePx = 13, kCountPx = 11, kGrow = 0.04;
const ShadowSpec kRest{0.08, 5, {0, 2}};
const ShadowSpec kLifted{0.2, 12, {0, 6}};

QString qs(const std::string& s) { return QString::fromStdString(s); }

qreal nameHeight() { return QFontMetricsF(Fonts::font(kNamePx, QFont::DemiBold)).height(); }
qreal countHeight() { return QFontMetricsF(Fonts::font(kCountPx)).height(); }

QRectF faceRect(const QRectF& tile) {
    return QRectF(tile.left() + (tile.width() - PeopleScreen::faceSide) / 2, tile.top(), PeopleScreen::faceSide,
                  PeopleScreen::faceSide);
}

}  // namespace

PeopleScreen::PeopleScreen(AppModel& model, QWidget* parent) : CollectionScreen(model, parent) {
    canvas()->setPadding(QMarginsF(28, 0, 28, 40));
    connect(&model_, &AppModel::facesEnabledChanged, this, &PeopleScreen::refresh);
    FaceModelStatus& faces = FaceModelStatus::shared();
    connect(&faces, &FaceModelStatus::stateChanged, this, &PeopleScreen::refresh);
    faces.request();
    attach();
}

bool PeopleScreen::isSettled() const {
    return FaceModelStatus::shared().state() != FaceModelStatus::State::checking && CollectionScreen::isSettled();
}

void PeopleScreen::follow(LibraryStore& s) {
    for (auto signal : {&LibraryStore::personsChanged, &LibraryStore::statusChanged})
        connect(&s, signal, this, &PeopleScreen::refresh);
}

void PeopleScreen::rebuild(LibraryStore& s) {
    visible_ = s.visiblePersons();
    hidden_ = s.hiddenPersons();
    tiles_.clear();
    progress_.clear();
    hint_.clear();
    buttonBlock_ = -1;

    if (!model_.facesEnabled() && visible_.empty())
        return showEmpty(QStringLiteral("person.2.slash"), QStringLiteral("Face grouping is off"),
                         QStringLiteral("Turn it on and Vintrelle will gather photos of the same person together. "
                                        "Everything happens on this computer."),
                         QStringLiteral("Turn On"), [this] { model_.setFacesEnabled(true); });
    // Only an answer says the model is missing: while it is being looked
    // for, the people found so far stay in view.
    if (FaceModelStatus::shared().isMissing())
        return showEmpty(QStringLiteral("person.2.slash"), QStringLiteral("Face grouping isn\u2019t available"),
                         QStringLiteral("The face model that ships with Vintrelle could not be loaded on this computer."));
    if (visible_.empty() && hidden_.empty()) {
        if (s.status().kind == EngineStatus::Kind::idle)
            return showEmpty(QStringLiteral("person.2"), QStringLiteral("No people found yet"),
                             QStringLiteral("Anyone who appears in at least three photos will show up here."));
        return showEmpty(QStringLiteral("person.2"), QStringLiteral("Getting to know your photos"),
                         QStringLiteral("Vintrelle is looking through your library. People who appear in a few "
                                        "photos will gather here as it goes."));
    }

    std::vector<CollectionBlock> blocks;
    if (s.status().kind == EngineStatus::Kind::faces) {
        progress_ = tr("Still looking through your photos \u2014 %1 of %2. More people may appear.")
                        .arg(qs(Format::integer(s.status().done)), qs(Format::integer(s.status().total)));
        blocks.push_back(CollectionBlock::text(18, progress_, true));
    }
    if (std::any_of(visible_.begin(), visible_.end(), [](const Person& p) { return p.name.empty(); })) {
        hint_ = tr("Click a face to see their photos and add a name. Drag one face onto another if they\u2019re the "
                   "same person.");
        blocks.push_back(CollectionBlock::text(18, hint_));
    }
    const auto grid = [this](const std::vector<Person>& people, qreal top, qreal opacity) {
        CollectionBlock b = CollectionBlock::grid(top, {128, 168, 18}, 26, opacity);
        for (const Person& p : people) {
            b.cards.push_back(tile(p));
            tiles_[tile(p)] = p;
        }
        return b;
    };
    blocks.push_back(grid(visible_, 24, 1));
    if (!hidden_.empty()) {
        const QString count = qs(Format::integer((long long)hidden_.size()));
        const QString label = showHidden_             ? tr("Hide these again")
                              : hidden_.size() == 1 ? tr("Show %1 hidden person").arg(count)
                                                    : tr("Show %1 hidden people").arg(count);
        buttonBlock_ = int(blocks.size());
        blocks.push_back(CollectionBlock::button(36, label, [this] {
            showHidden_ = !showHidden_;
            refresh();
        }));
        if (showHidden_) blocks.push_back(grid(hidden_, 18, 0.6));
    }
    showList(std::move(blocks));
}

QPushButton* PeopleScreen::hiddenButton() const { return canvas()->button(buttonBlock_); }

const Person* PeopleScreen::personOf(const CardKey& key) const {
    const auto it = tiles_.find(key);
    return it == tiles_.end() ? nullptr : &it->second;
}

// ---- tiles --------------------------------------------------------------------------

qreal PeopleScreen::cardHeight(const CardKey&, qreal) const {
    return faceSide + kGap + nameHeight() + kTextGap + countHeight();
}

size_t PeopleScreen::cardVersion(const CardKey& key) const {
    const Person* p = personOf(key);
    return p ? qHashMulti(0, QByteArray::fromStdString(p->name), p->faceCount) : 0;
}

qreal PeopleScreen::overhang() const { return CardShadow::margin(kLifted) + faceSide * kGrow; }

std::optional<std::pair<QRectF, CoverRequest>> PeopleScreen::cover(const CardKey& key, const QSizeF& size) const {
    const Person* p = personOf(key);
    if (!p || !p->coverFaceID || !store()) return std::nullopt;
    // Face crops are written once per face and never change.
    return std::pair{faceRect(QRectF(QPointF(0, 0), size)), CoverRequest{store()->paths().faceURL(*p->coverFaceID), 0}};
}

void PeopleScreen::paintCard(QPainter& p, const CardKey& key, const QRectF& r, const QPixmap& cover,
                             qreal coverOpacity, qreal hover, qreal target) const {
    const Person* person = personOf(key);
    if (!person) return;
    const QRectF base = faceRect(r);
    const qreal grow = 1 + kGrow * std::max(hover, target);
    const QRectF face(base.center() - QPointF(base.width() * grow / 2, base.height() * grow / 2),
                      base.size() * grow);
    paintLiftShadow(p, face, face.width() / 2, kRest, kLifted, hover);
    QPainterPath circle;
    circle.addEllipse(face);
    paintCover(p, circle, face, cover, 1, coverOpacity);
    // The ring: a hairline in the line colour, turning into a 3-px accent
    // ring while a drag the tile would take is over it; drawn inside the edge.
    const qreal opacity = p.opacity();
    const auto ring = [&](const QColor& colour, qreal width, qreal alpha) {
        if (alpha <= 0) return;
        p.setOpacity(opacity * alpha);
        p.setPen(QPen(colour, width));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(face.adjusted(width / 2, width / 2, -width / 2, -width / 2));
    };
    ring(Theme::line(), 1, 1 - target);
    ring(Theme::accent(), 3, target);
    p.setOpacity(opacity);

    const bool unnamed = person->name.empty();
    const QFont nameFont = Fonts::font(kNamePx, unnamed ? QFont::Normal : QFont::DemiBold);
    const QFont countFont = Fonts::font(kCountPx);
    qreal y = base.bottom() + kGap;
    const QRectF nameRect(r.left(), y, r.width(), nameHeight());
    p.setFont(nameFont);
    p.setPen(unnamed ? Theme::ink3() : Theme::ink());
    p.drawText(nameRect, Qt::AlignHCenter | Qt::AlignVCenter,
               QFontMetricsF(nameFont).elidedText(unnamed ? QStringLiteral("Add name") : qs(person->name),
                                                  Qt::ElideRight, r.width()));
    y = nameRect.bottom() + kTextGap;
    p.setFont(countFont);
    p.setPen(Theme::ink2());
    p.drawText(QRectF(r.left(), y, r.width(), countHeight()), Qt::AlignHCenter | Qt::AlignVCenter,
               qs(Format::items(person->faceCount, "photo")));
}

void PeopleScreen::activate(const CardKey& key) { model_.push(Route::person(key.id)); }

QMenu* PeopleScreen::menu(const CardKey& key, QWidget* parent) {
    const Person* person = personOf(key);
    if (!person || !store()) return nullptr;
    const int64_t id = person->id;
    const bool hidden = person->hidden;
    auto* m = new QMenu(parent);
    connect(m->addAction(tr("Open")), &QAction::triggered, this, [this, id] { model_.push(Route::person(id)); });
    connect(m->addAction(person->name.empty() ? tr("Add Name\u2026") : tr("Rename\u2026")), &QAction::triggered, this,
            [this, id] {
                const auto p = store() ? store()->person(id) : std::nullopt;
                if (!p) return;
                AppModel::RenamePrompt prompt;
                prompt.target = {AppModel::RenamePrompt::Target::Kind::person, id};
                prompt.title = tr("Who is this?").toStdString();
                prompt.text = p->name;
                model_.setRenamePrompt(prompt);
            });
    std::vector<Person> named;
    for (const Person& other : store()->visiblePersons()) {
        if (other.name.empty() || other.id == id) continue;
        named.push_back(other);
        if (int(named.size()) == thisIsLimit) break;
    }
    if (!named.empty()) {
        QMenu* thisIs = m->addMenu(tr("This Is\u2026"));
        for (const Person& other : named) {
            const int64_t into = other.id;
            connect(thisIs->addAction(qs(menuText(other.name))), &QAction::triggered, this, [this, id, into] {
                // The people may have changed while the menu was open.
                if (mayMerge(id, into)) store()->mergePerson(id, into);
            });
        }
    }
    m->addSeparator();
    connect(m->addAction(hidden ? tr("Show Again") : tr("Don\u2019t Show This Person")), &QAction::triggered, this,
            [this, id, hidden] { setPersonHidden(id, !hidden); });
    model_.closeWithLibrary(m);
    return m;
}

void PeopleScreen::setPersonHidden(int64_t id, bool hidden) {
    LibraryStore* s = store();
    if (!s || !s->acceptsMarks()) return;
    try {
        s->db().db().run("UPDATE persons SET hidden=? WHERE id=?", {hidden ? 1 : 0, id});
    } catch (const DBError&) {
        // The reload below shows the flag as it stands.
    }
    s->reloadPeople();
}

// ---- drag and drop ------------------------------------------------------------------

std::unique_ptr<QMimeData> PeopleScreen::dragData(const CardKey& key) {
    if (!personOf(key)) return nullptr;
    return persondrag::mimeData(key.id);
}

QPixmap PeopleScreen::dragPixmap(const CardKey&, const QPixmap& cover) const {
    const qreal dpr = devicePixelRatioF();
    QPixmap pm(QSize(int(faceSide * dpr), int(faceSide * dpr)));
    pm.setDevicePixelRatio(dpr);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath circle;
    const QRectF face(0, 0, faceSide, faceSide);
    circle.addEllipse(face);
    paintCover(p, circle, face, cover, 1, 1);
    return pm;
}

bool PeopleScreen::takesDrag(const QMimeData& mime) const { return persondrag::read(mime).has_value(); }

bool PeopleScreen::accepts(const CardKey& key, const QMimeData& mime) const {
    // Hidden tiles take nothing, nor does a tile its own face.
    if (key.kind != visibleKind || !personOf(key)) return false;
    const std::optional<int64_t> dragged = persondrag::read(mime);
    return dragged && mayMerge(*dragged, key.id);
}

void PeopleScreen::dropped(const CardKey& key, const QMimeData& mime) {
    const std::optional<int64_t> dragged = persondrag::read(mime);
    if (!dragged || key.kind != visibleKind) return;
    dropPerson(*dragged, key.id);
}

void PeopleScreen::dropPerson(int64_t dragged, int64_t onto) {
    // Never a dialog inside the drop: the drag's platform loop is still on
    // the stack there.
    QPointer<PeopleScreen> self(this);
    QMetaObject::invokeMethod(
        this,
        [self, dragged, onto] {
            if (self) self->askToMerge(dragged, onto);
        },
        Qt::QueuedConnection);
}

bool PeopleScreen::mayMerge(int64_t source, int64_t target) const {
    return source != target && store() && store()->person(source) && store()->person(target);
}

QString PeopleScreen::mergeMessage(const Person& source, const Person& target) {
    const QString a = source.name.empty() ? tr("the unnamed person") : qs(source.name);
    const QString b = target.name.empty() ? tr("this unnamed person") : qs(target.name);
    return tr("All photos of %1 will be combined with %2.").arg(a, b);
}

void PeopleScreen::askToMerge(int64_t source, int64_t target) {
    if (!mayMerge(source, target) || confirm_) return;
    const auto to = store()->person(target);
    if (to->hidden) return;
    pending_ = {source, target};
    QPointer<PeopleScreen> self(this);
    confirm_ = MessageSheet::present(
        this, {tr("Are these the same person?"), mergeMessage(*store()->person(source), *to), tr("Merge")},
        [self, source, target] {
            // A grouping pass may have merged, split or removed either since the drop.
            if (self && self->mayMerge(source, target)) self->store()->mergePerson(source, target);
        });
    model_.closeWithLibrary(confirm_);
    connect(confirm_, &QDialog::finished, this, [this] { pending_.reset(); });
}

MessageSheet* PeopleScreen::confirmation() const { return confirm_; }

}  // namespace vintrelle
