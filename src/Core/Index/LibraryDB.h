#pragma once
// Typed queries of the index database. Readers give empty results on any
// failure; writers ignore failures, except saveProcessed, which throws.

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Core/Index/Database.h"
#include "Core/Index/Models.h"

namespace vintrelle {

struct FaceRef {
    int64_t faceID = 0;
    std::optional<int64_t> personID;
};

struct PendingFaceAsset {
    int64_t id = 0;
    std::string path;
    // The file as the scan last saw it: what the face pass reads must still
    // be this file.
    int64_t size = 0;
    double mtime = 0;
};

// What `assets.faces_done` holds. The faces of a photo not `facesDone` stay
// in the index with their people and locks, but count in no person: its file
// changed since (a photo saved over it, perhaps someone else's), and until
// its faces are looked at again nobody is known to be in it.
namespace FacesState {
inline constexpr int pending = 0;
inline constexpr int done = 1;
// Its file changed and could not be read when its faces were looked at
// again: they wait until the file changes once more.
inline constexpr int held = 2;
}  // namespace FacesState

// A column of a table, as SQLite reads the table's declaration.
struct TableColumn {
    std::string name;
    std::string type;  // as declared: "INTEGER", "TEXT", "" ...
    bool notNull = false;
    bool rowid = false;  // INTEGER PRIMARY KEY: the row id under a name of its own
};

// A table and its columns, in the order its rows store them.
struct TableLayout {
    std::string name;
    std::vector<TableColumn> columns;
};

// Every table of an open database (SQLite's own ones too); throws DBError.
std::vector<TableLayout> tableLayouts(Database& db);

class LibraryDB {
public:
    // Opens (or creates) the index at path and runs the schema script; throws
    // DBError, and a damage DBError when a table lacks one of the schema's
    // columns: every write into it would fail.
    explicit LibraryDB(const std::string& path);

    Database& db() { return *db_; }

    // SQLite's check of the whole index file, run once for all who must know
    // before they write (it reads the whole file: never on the main thread).
    // True when the file is sound; damage found marks the connection
    // damaged; a check that could not run gives false and runs again when
    // asked again.
    bool checkFile();

    // Settings
    std::optional<std::string> meta(const std::string& key);
    void setMeta(const std::string& key, const std::string& value);

    // Assets
    std::vector<Asset> loadAssets();
    // Like loadAssets, but throws DBError instead of returning an empty list on failure.
    std::vector<Asset> loadAssetsChecked();
    std::vector<Asset> assets(const std::vector<int64_t>& ids);
    std::unordered_map<std::string, FileStat> fileIndex(const std::optional<std::string>& prefix);
    void saveProcessed(const Asset& asset);  // throws DBError
    void deleteAssets(const std::vector<int64_t>& ids);
    void setFavorite(const std::vector<int64_t>& ids, bool favorite);
    std::vector<PendingFaceAsset> pendingFaceAssets(int limit);

    // Places
    std::optional<PlaceName> cachedPlace(const std::string& key);
    void cachePlace(const std::string& key, const PlaceName& place);

    // People and faces. Each counts only the faces of photos whose faces
    // are done (FacesState above).
    std::vector<Person> loadPersons();
    std::vector<FaceRecord> allFaces();
    std::optional<int64_t> bestFace(int64_t person);
    void setPersonCover(int64_t person, std::optional<int64_t> face);
    std::vector<std::pair<int64_t, int64_t>> personAssetPairs();
    // `countedOnly`: none unless the photo's faces are done.
    std::vector<FaceRef> faces(int64_t asset, bool countedOnly = false);
    void renamePerson(int64_t id, const std::string& name);
    void mergePerson(int64_t source, int64_t target);
    void resetPeople();

    // Trips
    std::vector<Trip> loadTrips();
    // Like loadTrips, but throws DBError instead of returning an empty list on failure.
    std::vector<Trip> loadTripsChecked();
    int64_t insertTrip(const Trip& trip);
    void updateTrip(const Trip& trip);

    // Albums
    std::vector<Album> loadAlbums();
    int64_t createAlbum(const std::string& name);
    void renameAlbum(int64_t id, const std::string& name);
    void addToAlbum(int64_t album, const std::vector<int64_t>& assets);
    void removeFromAlbum(int64_t album, const std::vector<int64_t>& assets);

    static Asset decodeAsset(const Row& row);
    static std::vector<float> decodeEmbedding(const DBBlob& blob);
    static DBBlob encodeEmbedding(const std::vector<float>& v);

    static const char* const schemaScript;
    // The tables the schema script makes, read from the script itself.
    static const std::vector<TableLayout>& schemaTables();
    // Removes the persons no face shows any longer, present or waiting for
    // its photo to come back (AbsentFiles.h).
    static const char* const deleteFacelessPersons;
    static const char* const assetSelectProcessed;
    static const char* const assetSelectById;

private:
    std::unique_ptr<Database> db_;
    std::string path_;
    std::mutex checkMutex_;
    std::optional<bool> sound_;
};

// Seconds since 1970, fractional.
double nowSeconds();

}  // namespace vintrelle
