#include "Core/Index/MarksKeeper.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "Core/Index/LibraryDB.h"
#include "Core/Index/MarksCopy.h"
#include "Core/Index/MarksFile.h"

namespace vintrelle {

namespace {

using Kind = MarkChange::Kind;

// The connection notes each row of the index a mark may lie in as it is
// written, whoever writes it, in a table of its own that lives only as long
// as the connection (nothing of it is in the index's file). Deletes that
// cascade from a photo's row are noted too. And where a mark changed, the
// index's stamp moves on in the same statement: the index says it is newer
// than its copy from the moment it is, at no cost of its own.
std::string noteChanges() {
    // Now, and never behind the stamp before, to the microsecond. (A
    // trigger's writes name their table bare: "meta" is the index's. And an
    // update, as the statement that set the trigger off lends the trigger
    // its way with conflicts: an insert there would be ignored as theirs
    // is; the keeper makes the row.)
    const std::string stamp =
        "UPDATE meta SET value = printf('%.6f', max((julianday('now') - 2440587.5) * 86400.0, "
        "CAST(value AS REAL) + 0.000001)) WHERE key = 'marksChanged'";
    auto trigger = [&](const std::string& name, const std::string& on, const std::string& when,
                       const std::string& ids, const std::string& stampWhen = "") {
        return "CREATE TEMP TRIGGER IF NOT EXISTS marks_" + name + " AFTER " + on +
               (when.empty() ? "" : " WHEN " + when) + " BEGIN INSERT OR IGNORE INTO marks_touched VALUES" + ids +
               "; " + stamp + (stampWhen.empty() ? "" : " AND (" + stampWhen + ")") + "; END;\n";
    };
    const std::string markedPerson = "(name <> '' OR hidden <> 0)";
    const std::string editedOld = "OLD.custom_title IS NOT NULL OR OLD.hidden <> 0 OR OLD.cover_asset IS NOT NULL";
    const std::string editedNew = "NEW.custom_title IS NOT NULL OR NEW.hidden <> 0 OR NEW.cover_asset IS NOT NULL";
    return "CREATE TEMP TABLE IF NOT EXISTS marks_touched(kind INTEGER NOT NULL, id INTEGER NOT NULL, "
           "PRIMARY KEY(kind, id)) WITHOUT ROWID;\n" +
           trigger("asset_in", "INSERT ON main.assets", "NEW.favorite <> 0", "(1, NEW.id)") +
           trigger("asset_up", "UPDATE OF favorite, path, kind ON main.assets",
                   "OLD.favorite IS NOT NEW.favorite OR OLD.path IS NOT NEW.path OR OLD.kind IS NOT NEW.kind",
                   "(1, NEW.id)", "OLD.favorite <> 0 OR NEW.favorite <> 0") +
           // Any photo: a mark may name it (its faces and album places go
           // with it, and say so themselves; a trip's cover does not).
           trigger("asset_out", "DELETE ON main.assets", "", "(1, OLD.id)", "OLD.favorite <> 0") +
           trigger("album_in", "INSERT ON main.albums", "", "(2, NEW.id)") +
           trigger("album_up", "UPDATE ON main.albums", "", "(2, NEW.id), (2, OLD.id)") +
           trigger("album_out", "DELETE ON main.albums", "", "(2, OLD.id)") +
           trigger("member_in", "INSERT ON main.album_assets", "", "(2, NEW.album_id)") +
           trigger("member_up", "UPDATE ON main.album_assets", "", "(2, NEW.album_id), (2, OLD.album_id)") +
           trigger("member_out", "DELETE ON main.album_assets", "", "(2, OLD.album_id)") +
           trigger("person_in", "INSERT ON main.persons", "NEW.name <> '' OR NEW.hidden <> 0", "(3, NEW.id)") +
           trigger("person_up", "UPDATE OF name, hidden, created ON main.persons",
                   "OLD.name IS NOT NEW.name OR OLD.hidden IS NOT NEW.hidden OR OLD.created IS NOT NEW.created",
                   "(3, NEW.id), (3, OLD.id)",
                   "OLD.name <> '' OR OLD.hidden <> 0 OR NEW.name <> '' OR NEW.hidden <> 0") +
           trigger("person_out", "DELETE ON main.persons", "OLD.name <> '' OR OLD.hidden <> 0", "(3, OLD.id)") +
           trigger("face_in", "INSERT ON main.faces",
                   "NEW.locked <> 0 OR EXISTS(SELECT 1 FROM main.persons WHERE id = NEW.person_id AND " +
                       markedPerson + ")",
                   "(4, NEW.id)") +
           trigger("face_up", "UPDATE OF asset_id, x, y, w, h, quality, embedding, person_id, locked ON main.faces",
                   "NEW.locked <> 0 OR OLD.locked <> 0 OR EXISTS(SELECT 1 FROM main.persons WHERE id IN "
                   "(OLD.person_id, NEW.person_id) AND " + markedPerson + ")",
                   "(4, NEW.id), (4, OLD.id)") +
           trigger("face_out", "DELETE ON main.faces",
                   "OLD.locked <> 0 OR EXISTS(SELECT 1 FROM main.persons WHERE id = OLD.person_id AND " +
                       markedPerson + ")",
                   "(4, OLD.id)") +
           trigger("trip_in", "INSERT ON main.trips", "", "(5, NEW.id)", editedNew) +
           trigger("trip_up", "UPDATE ON main.trips", "", "(5, NEW.id), (5, OLD.id)", editedOld + " OR " + editedNew) +
           trigger("trip_out", "DELETE ON main.trips", "", "(5, OLD.id)", editedOld) +
           "DELETE FROM marks_touched;\n";
}

// Rows of touched ids are taken this many at a time, each batch under the
// connection's lock on its own.
constexpr int kTouchedBatch = 1024;

// Leaves out the rows no mark needs any longer: a photo neither favourite
// nor named by another row.
void prune(MarkRows& rows) {
    std::set<int64_t> named;
    for (const auto& [id, a] : rows.albums)
        for (const auto& [asset, added] : a.members) named.insert(asset);
    for (const auto& [id, f] : rows.faces) named.insert(f.asset);
    for (const auto& [id, t] : rows.trips)
        if (t.cover) named.insert(t.cover);
    std::erase_if(rows.files, [&](const auto& f) { return !f.second.favorite && !named.contains(f.first); });
}

}  // namespace

struct MarksKeeper::State {
    using Clock = std::chrono::steady_clock;

    std::shared_ptr<LibraryDB> db;
    LibraryPaths paths;
    // The data folder held open as it was when the library opened: a drive
    // mounted over the library's path since, or the folder put back from a
    // backup, has a copy of its own that is not to be written over, and an
    // index of its own that is not to be judged.
    int folder = -1;
    std::chrono::milliseconds delay;

    ~State() {
        if (folder >= 0) ::close(folder);
    }

    // Written over in place (the same file, another program's content) is
    // no longer its index either: what reads from it now is not this
    // library's, and must never reach its copy.
    bool stillItsIndex() const {
        return folder >= 0 && db->db().isStillAtItsPath() && db->db().standing() == Database::Standing::kept;
    }

    mutable std::mutex mutex;
    mutable std::condition_variable cv;
    bool opening = false;
    bool dirty = false;
    bool retrying = false;  // dirty only to try a failed write again
    bool busy = false;
    bool closing = false;
    bool ended = false;
    bool judged = false;
    Clock::time_point due;
    Standing standing = Standing::unknown;
    Fault fault = Fault::none;
    std::function<void()> observer;

    // The keeper's thread's own.
    bool noting = false;       // the connection notes the rows it writes (see noteChanges)
    bool rowsKnown = false;
    MarkRows rows;             // the marks of the index, as last read
    uint64_t identity = 0;
    double writtenStamp = 0;   // of the copy on the disk
    std::optional<int64_t> headerSecond;  // the second in the index's header (see setMarksChangedSecond)
    // Where the copy stands; none when it must be written whole.
    std::optional<CopyPlace> place;
    std::set<MarkChange> unwritten;  // rows changed since the copy on the disk

    void run() {
        std::unique_lock lock(mutex);
        // Runs one piece of work with the lock let go, as busy.
        auto unlocked = [&](auto work) {
            busy = true;
            const bool kept = standing == Standing::kept;
            lock.unlock();
            work(kept);
            lock.lock();
            busy = false;
            cv.notify_all();
        };
        for (;;) {
            if (std::exchange(opening, false)) {
                unlocked([&](bool) { settle(); });
                continue;
            }
            if (dirty && (closing || Clock::now() >= due)) {
                dirty = false;
                retrying = false;
                // An index that could not be checked (busy, or its path
                // taken by another folder) is looked at again, which writes.
                const bool unchecked = standing == Standing::unknown && !closing;
                unlocked([&](bool kept) {
                    if (unchecked) {
                        settle();
                    } else if (kept) {
                        follow();
                    }
                });
                continue;
            }
            if (closing) break;
            if (dirty) cv.wait_until(lock, due);
            else cv.wait(lock);
        }
        ended = true;
        cv.notify_all();
    }

    void tell(std::optional<Standing> s, std::optional<Fault> f) {
        std::function<void()> call;
        {
            std::lock_guard lock(mutex);
            bool changed = false;
            if (s && *s != standing) {
                standing = *s;
                changed = true;
            }
            if (f && *f != fault) {
                fault = *f;
                changed = true;
            }
            if (changed) call = observer;
        }
        if (call) call();
    }

    // Checks the index against the copy and keeps the verdict.
    void settle() {
        const Standing found = check();
        {
            std::lock_guard lock(mutex);
            judged = true;
            cv.notify_all();
        }
        tell(found, std::nullopt);
    }

    Standing check() {
        Database& d = db->db();
        // The check reads the index by its path.
        if (!stillItsIndex()) return Standing::unknown;
        if (!db->checkFile()) return d.isDamaged() ? Standing::unsound : Standing::unknown;
        // A write cut short leaves its temporary; the copy itself is whole.
        discardUnfinishedCopyIn(folder);
        CopyFile copy = readCopyFileIn(folder);
        rowsKnown = false;
        place.reset();
        unwritten.clear();
        try {
            // Before the rows are read: what changes while they are, is noted.
            if (!noting) {
                d.exec(noteChanges());
                noting = true;
            } else {
                d.run("DELETE FROM marks_touched");
            }
            MarkRows held = readMarkRows(d);
            const std::optional<double> stamp = marksChanged(d);
            const Marks marks = held.marks(stamp.value_or(0));
            std::optional<uint64_t> id = libraryIdentity(d);
            headerSecond = marksChangedSecond(d);

            if (copy.state == CopyState::newer) {
                tell(std::nullopt, Fault::newer);
                return Standing::unsound;
            }
            bool usable = copy.state == CopyState::readable || copy.state == CopyState::spoiled;
            if (usable && id && copy.identity && *id != copy.identity) {
                // Two libraries: the one whose photos are here is this one.
                if (copyIsThisLibrarys(paths, photosNamedBy(d, marks), copy.marks)) {
                    d.markDamaged();
                    return Standing::otherLibrary;
                }
                setCopyAsideIn(folder, kOtherCopy);
                copy = CopyFile{};
                usable = false;
            }
            if (usable) {
                // The copy was written from this index, at its stamp: an index
                // without it, or behind it, is not the one the copy followed
                // (put back from an older state, or made anew). What the copy
                // holds is newer: a mark the index holds that it does not was
                // taken away since, and one it lacks was lost.
                // An index without the identity its copy bears was never
                // this copy's: one from before identities (older, then) or
                // another library's written over this one's in place, which
                // may even carry this connection's stamp.
                const bool behind = !stamp || *stamp < copy.changed || (!id && copy.identity);
                const bool lost = copy.state == CopyState::readable ? marksDiffer(copy.marks, marks)
                                                                    : lacking(copy.marks, marks).any();
                if (behind && lost) {
                    d.markDamaged();
                    return Standing::indexLost;
                }
                // The index holds all a spoiled copy could give: it is kept
                // aside, and a sound one written.
                if (copy.state == CopyState::spoiled) {
                    setCopyAsideIn(folder, kSpoiledCopy);
                    copy = CopyFile{};
                    usable = false;
                }
            }
            identity = id ? *id : (usable && copy.identity ? copy.identity : newLibraryIdentity());
            rows = std::move(held);
            rowsKnown = true;

            if (usable) prune(copy.rows);
            if (usable && copy.format == 2 && copy.identity == identity && stamp && *stamp == copy.changed &&
                copy.rows == rows) {
                // Up to date: changes are added to it.
                if (!id) d.transaction([&] { setLibraryIdentity(d, identity); });
                place = copy.place;
                writtenStamp = copy.changed;
                tell(std::nullopt, Fault::none);
            } else {
                writeWhole(usable && marks.sameAs(copy.marks) ? std::optional(copy.changed) : std::nullopt,
                           usable ? copy.changed : 0.0, !id);
            }
        } catch (const DBError&) {
            headerSecond.reset();
            return d.isDamaged() ? Standing::unsound : Standing::unknown;
        }
        return Standing::kept;
    }

    // Writes the copy whole from the rows: at `same` when the marks are the
    // copy's as they were (the index's stamp then goes back to it), else at
    // the index's stamp, moved past `copied` when the index changed without
    // a stamp (an older Vintrelle); and the identity, when the index lacks it.
    void writeWhole(std::optional<double> same, double copied, bool withIdentity) {
        Database& d = db->db();
        double at = 0;
        d.transaction([&] {
            if (withIdentity) setLibraryIdentity(d, identity);
            const double stamp = marksChanged(d).value_or(0);
            at = same ? *same : stamp;
            if (!same && stamp <= copied) at = after(copied);
            stampAt(stamp, at);
        });
        write(at, true);
    }

    // Puts the stamp the copy is about to be written at into the index,
    // where it is not yet: into meta, and into the header when its second
    // there is behind (a write of the index that holds up its readers, once
    // in a while only).
    void stampAt(double stamp, double at) {
        Database& d = db->db();
        if (at != stamp) {
            setMarksChanged(d, at);
            headerSecond = marksChangedSecond(d);
        } else if (!headerSecond || *headerSecond < int64_t(std::floor(at))) {
            headerSecond = setMarksChangedSecond(d, at);
        }
    }

    // Never behind the stamp it follows, whatever the clock says.
    static double after(double stamp) { return std::max(nowSeconds(), std::nextafter(stamp, 1e300)); }

    // Writes the rows changed since the copy, at the index's stamp.
    void follow() {
        Database& d = db->db();
        if (d.isDamaged() || !stillItsIndex() || !rowsKnown) return;
        try {
            takeTouched();
            double at = 0;
            bool same = false;
            d.transaction([&] {
                const double stamp = marksChanged(d).value_or(0);
                same = unwritten.empty() && place;
                if (same) {
                    // Nothing changed after all: the marks date from the copy.
                    stampAt(stamp, writtenStamp);
                    return;
                }
                // Changed without a word, or never stamped: now is when.
                at = stamp > writtenStamp ? stamp : after(writtenStamp);
                stampAt(stamp, at);
            });
            // The rows just read may be another file's, written over this
            // one's since the start: the copy keeps what it had.
            if (!same && stillItsIndex()) write(at, false);
        } catch (const DBError&) {
            // Read when the index is sound again, or at the next opening;
            // the header's second is written again then.
            headerSecond.reset();
        }
    }

    // Puts the changes into the copy, or the copy whole when it must be
    // (none there, or its journal as long as its base).
    void write(double at, bool whole) {
        try {
            if (!whole && place && place->journal < std::max<uint64_t>(place->base, 1 << 20)) {
                place = appendCopyIn(folder, *place, at, rows, unwritten);
            } else {
                prune(rows);
                place = writeCopyIn(folder, identity, at, rows);
            }
            unwritten.clear();
            writtenStamp = at;
            tell(std::nullopt, Fault::none);
        } catch (const CopyMoved&) {
            // Not the file written: looked at anew (another library's, a
            // later Vintrelle's, or put back).
            std::lock_guard lock(mutex);
            opening = true;
            cv.notify_all();
        } catch (const DBError& e) {
            place.reset();
            tell(std::nullopt, faultOf(e));
            // The copy stays as it was; tried again in a while.
            std::lock_guard lock(mutex);
            if (!dirty) {
                dirty = true;
                retrying = true;
                due = Clock::now() + kRetry;
            }
        }
    }

    Fault faultOf(const DBError& e) const {
        struct stat st {};
        if (::fstatat(folder, "library.marks", &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(st.st_mode))
            return Fault::notAFile;
        return e.isDiskFull() ? Fault::diskFull : Fault::unwritable;
    }

    // ---- the rows a change touched ----

    // The rows the connection noted as written, read again, a batch at a time.
    void takeTouched() {
        Database& d = db->db();
        for (;;) {
            std::vector<MarkChange> touched;
            {
                std::lock_guard lock(d.lock());
                d.forEachRow("SELECT kind, id FROM marks_touched ORDER BY kind, id LIMIT ?", {kTouchedBatch},
                             [&](const Row& r) { touched.push_back({Kind(r.int64(0)), r.int64(1)}); });
                if (touched.empty()) return;
                d.run("DELETE FROM marks_touched WHERE (kind, id) <= (?, ?)",
                      {int64_t(touched.back().kind), touched.back().id});
            }
            // People first: whether a face is a mark depends on its person.
            std::stable_sort(touched.begin(), touched.end(), [](const MarkChange& a, const MarkChange& b) {
                return (a.kind == Kind::person) > (b.kind == Kind::person);
            });
            for (size_t i = 0; i < touched.size(); ++i) {
                const MarkChange& c = touched[i];
                if (i % 64 == 63) letOthersIn();
                switch (c.kind) {
                    case Kind::file: file(c.id); break;
                    case Kind::album: album(c.id); break;
                    case Kind::person: person(c.id); break;
                    case Kind::face: face(c.id); break;
                    case Kind::trip: trip(c.id); break;
                }
            }
        }
    }

    template <class Map, class Row>
    void put(Kind kind, Map& map, int64_t id, std::optional<Row> row) {
        const auto it = map.find(id);
        if (!row) {
            if (it == map.end()) return;
            map.erase(it);
        } else if (it == map.end()) {
            map.emplace(id, std::move(*row));
        } else if (!(it->second == *row)) {
            it->second = std::move(*row);
        } else {
            return;
        }
        unwritten.insert({kind, id});
    }

    std::optional<MarkRows::File> readFile(int64_t id) {
        std::optional<MarkRows::File> out;
        db->db().forEachRow("SELECT path, kind, size, mtime, added, favorite FROM assets WHERE id=?", {id},
                            [&](const Row& r) {
                                out = MarkRows::File{r.text(0), int(r.int64(1)), r.int64(2), r.dbl(3), r.dbl(4),
                                                     r.int64(5) != 0};
                            });
        return out;
    }

    // The photo a mark names, read when the rows lack it; false when there
    // is no such photo.
    bool named(int64_t asset) {
        if (rows.files.contains(asset)) return true;
        std::optional<MarkRows::File> f = readFile(asset);
        if (!f) return false;
        put(Kind::file, rows.files, asset, std::move(f));
        return true;
    }

    void file(int64_t id) {
        std::optional<MarkRows::File> f = readFile(id);
        const bool gone = !f;
        if (f && !f->favorite && !rows.files.contains(id)) return;
        put(Kind::file, rows.files, id, std::move(f));
        if (!gone) return;
        // A cover whose photo went is no cover.
        std::vector<int64_t> covered;
        for (const auto& [trip, t] : rows.trips)
            if (t.cover == id) covered.push_back(trip);
        for (const int64_t t : covered) trip(t);
    }

    void album(int64_t id) {
        std::optional<MarkRows::Album> a;
        Database& d = db->db();
        d.forEachRow("SELECT name, created FROM albums WHERE id=?", {id},
                     [&](const Row& r) { a = MarkRows::Album{r.text(0), r.dbl(1), {}}; });
        if (a) {
            std::vector<std::pair<int64_t, double>> members =
                d.query("SELECT asset_id, added FROM album_assets WHERE album_id=?", {id},
                        [](const Row& r) { return std::pair(r.int64(0), r.dbl(1)); });
            std::sort(members.begin(), members.end());
            for (const auto& m : members)
                if (named(m.first)) a->members.push_back(m);
        }
        put(Kind::album, rows.albums, id, std::move(a));
    }

    void person(int64_t id) {
        std::optional<MarkRows::Person> p;
        Database& d = db->db();
        d.forEachRow("SELECT name, hidden, created FROM persons WHERE id=? AND (name <> '' OR hidden <> 0)", {id},
                     [&](const Row& r) { p = MarkRows::Person{r.text(0), r.int64(1) != 0, r.dbl(2)}; });
        const bool was = rows.persons.contains(id);
        put(Kind::person, rows.persons, id, p);
        if (p && !was) {
            // Named or hidden now: their faces are marks.
            for (const int64_t f : d.query("SELECT id FROM faces WHERE person_id=? AND locked=0", {id},
                                           [](const Row& r) { return r.int64(0); }))
                face(f);
        } else if (!p && was) {
            std::vector<int64_t> faces;
            for (const auto& [f, row] : rows.faces)
                if (row.person == id && !row.locked) faces.push_back(f);
            for (const int64_t f : faces) face(f);
        }
    }

    void face(int64_t id) {
        std::optional<MarkRows::Face> f;
        db->db().forEachRow(
            "SELECT asset_id, x, y, w, h, quality, embedding, person_id, locked FROM faces WHERE id=?", {id},
            [&](const Row& r) {
                f = MarkRows::Face{r.int64(0), r.optDouble(1), r.optDouble(2), r.optDouble(3), r.optDouble(4),
                                   r.dbl(5),   r.blob(6),      r.isNull(7) ? 0 : r.int64(7), r.int64(8) != 0};
            });
        if (f && !f->locked && !rows.persons.contains(f->person)) f.reset();
        if (f && !named(f->asset)) f.reset();
        put(Kind::face, rows.faces, id, std::move(f));
    }

    void trip(int64_t id) {
        std::optional<MarkRows::Trip> t;
        std::optional<int64_t> cover;
        db->db().forEachRow(
            "SELECT title, subtitle, custom_title, start, end, lat, lon, hidden, cover_asset FROM trips WHERE id=?", {id},
            [&](const Row& r) {
                t = MarkRows::Trip{r.text(0), r.text(1), r.optText(2), r.dbl(3), r.dbl(4), r.dbl(5), r.dbl(6),
                                   r.int64(7) != 0, 0};
                cover = r.optInt(8);
            });
        if (t && cover && named(*cover)) t->cover = *cover;
        if (t && !t->customTitle && !t->hidden && !t->cover) t.reset();
        put(Kind::trip, rows.trips, id, std::move(t));
    }
};

MarksKeeper::MarksKeeper(std::shared_ptr<LibraryDB> db, const LibraryPaths& paths, std::chrono::milliseconds delay)
    : state_(std::make_shared<State>()) {
    state_->db = std::move(db);
    state_->paths = paths;
    state_->folder = ::open(paths.dataDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    state_->delay = delay;
}

MarksKeeper::~MarksKeeper() { close(); }

void MarksKeeper::open() {
    std::lock_guard lock(state_->mutex);
    if (state_->closing || state_->opening || state_->standing != Standing::unknown) return;
    state_->opening = true;
    if (!thread_.joinable()) thread_ = std::thread([state = state_] { state->run(); });
    state_->cv.notify_all();
}

void MarksKeeper::changed() {
    std::lock_guard lock(state_->mutex);
    if (state_->closing) return;
    if (!state_->dirty || state_->retrying) {
        state_->dirty = true;
        state_->retrying = false;
        state_->due = State::Clock::now() + state_->delay;
    }
    state_->cv.notify_all();
}

void MarksKeeper::close(std::chrono::milliseconds bound) {
    // Its data folder is let go with the index, so that its drive can go.
    auto letGo = [&] {
        if (state_->folder >= 0) ::close(std::exchange(state_->folder, -1));
    };
    if (!thread_.joinable()) {
        std::lock_guard lock(state_->mutex);
        state_->closing = true;
        state_->cv.notify_all();
        letGo();
        return;
    }
    bool ended;
    {
        std::unique_lock lock(state_->mutex);
        state_->closing = true;
        state_->cv.notify_all();
        ended = state_->cv.wait_for(lock, bound, [&] { return state_->ended; });
    }
    // The thread owns what it uses: one held up by a hung disk ends by itself.
    if (ended) {
        thread_.join();
        letGo();
    } else {
        thread_.detach();
    }
}

MarksKeeper::Standing MarksKeeper::standing() const {
    std::lock_guard lock(state_->mutex);
    return state_->standing;
}

MarksKeeper::Fault MarksKeeper::fault() const {
    std::lock_guard lock(state_->mutex);
    return state_->fault;
}

void MarksKeeper::setObserver(std::function<void()> observer) {
    std::lock_guard lock(state_->mutex);
    state_->observer = std::move(observer);
}

std::function<void()> MarksKeeper::untilJudged(std::chrono::milliseconds bound) const {
    return [state = state_, bound] {
        std::unique_lock lock(state->mutex);
        state->cv.wait_for(lock, bound, [&] { return state->judged || state->closing || state->ended; });
    };
}

bool MarksKeeper::waitIdle(std::chrono::milliseconds bound) const {
    std::unique_lock lock(state_->mutex);
    return state_->cv.wait_for(lock, bound, [&] {
        return !state_->opening && (!state_->dirty || state_->retrying) && !state_->busy;
    });
}

}  // namespace vintrelle
