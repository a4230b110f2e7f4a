// A store on disk. Everything it reads, writes or removes lies in its
// canonical directory: store.ini, catalog.db, files/ and jobs/.

#include "platform/local/store/Store.h"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>

#include "platform/local/base/Diagnostics.h"
#include "platform/local/base/Format.h"

namespace localplatform {

namespace {

constexpr unsigned kStoreFormat = 1;
// store.ini holds a few short lines.
constexpr std::size_t kMaxIdentitySize = 64 * 1024;

[[noreturn]] void unusable(const std::string& what) {
    throw StoreError(StoreError::Kind::Unusable, what);
}

// Whether dir holds a store's own files (store.ini, catalog.db). A look that
// fails other than for a missing entry makes the store unusable rather than
// absent: an object store that answers 503 holds its store all the same,
// and neither a second look nor a new store is what the command needs.
bool holdsStoreFiles(Storage& storage, const std::string& dir) {
    for (const char* name : {"/store.ini", "/catalog.db"}) {
        if (storage.status(dir + name, nullptr, false)) return true;
        if (errno != ENOENT && errno != ENOTDIR) {
            unusable(systemError("cannot reach the store", dir));
        }
    }
    return false;
}

void checkConnectionStringIfAny(const std::string& connection) {
    if (!connection.empty()) checkConnectionString(connection);
}

// Entries that a directory may hold before it is made a store.
bool allowedBeforeStore(const std::string& name) {
    return name == "." || name == ".." || name == "files" || name == "jobs" ||
           name == "settings.ini" || name.rfind("store.ini.new-", 0) == 0;
}

void makeDirectory(Storage& storage, const std::string& path, const FileModes& modes) {
    if (!storage.makeDirectory(path, modes)) unusable(systemError("cannot create", path));
    EntryStatus status;
    if (!storage.status(path, &status) || status.kind != EntryStatus::Kind::Directory) {
        unusable(path + " is not a directory");
    }
}

struct Identity {
    unsigned format = 0;
    uint32_t trellanId = 0;
    std::string catalog;  // PostgreSQL connection string; empty: SQLite
    std::string group;    // the group the store is shared with; empty: none
};

// store.ini: "key=value" lines, '#' comments.
bool readIdentityFile(Storage& storage, const std::string& path, Identity* identity,
                      std::string* why) {
    std::string text;
    EntryStatus status;
    // No command can use the store until it is put right, by hand: it is
    // the store's identity, which nothing else records whole.
    const std::string remedy =
        "; move it aside and put the store's store.ini back, or write one by hand: a few "
        "short lines, format=1 and trellan_id= as its descriptions files/N.meta record it "
        "(and catalog= and group= as the store had them)";
    if (!storage.readSmallFile(path, kMaxIdentitySize, &text, &status)) {
        if (errno == ELOOP || errno == EINVAL) {
            *why = path + " is " +
                   describeKind(errno == ELOOP ? EntryStatus::Kind::Link : status.kind) +
                   ", not a regular file; refused" + remedy;
        } else if (errno == EFBIG) {
            *why = formatText("cannot read %s: File too large (over %zu bytes)%s", path.c_str(),
                              kMaxIdentitySize, remedy.c_str());
        } else {
            *why = systemError("cannot read", path);
        }
        return false;
    }
    std::istringstream file(text);
    Identity read;
    std::string line;
    while (std::getline(file, line)) {
        if (line.empty() || line[0] == '#') continue;
        const auto equals = line.find('=');
        if (equals == std::string::npos) continue;
        const std::string key = line.substr(0, equals), value = line.substr(equals + 1);
        const char* end = value.data() + value.size();
        if (key == "format") std::from_chars(value.data(), end, read.format);
        if (key == "trellan_id") std::from_chars(value.data(), end, read.trellanId);
        if (key == "catalog") read.catalog = value;
        if (key == "group") read.group = value;
    }
    if (read.format == 0 || read.trellanId == 0) {
        *why = path + " names no format or Trellan id" + remedy;
        return false;
    }
    *identity = read;
    return true;
}

// Writes identity as store.ini at path: as the file mine, made durably,
// then linked into place; a store.ini another process placed first is left
// as it is (and read after). Throws StoreError (Unusable) when neither can
// be written.
void placeIdentity(Storage& storage, const std::string& dir, const std::string& mine,
                   const std::string& path, const Identity& identity) {
    const std::string catalogLine =
        identity.catalog.empty() ? "" : "catalog=" + identity.catalog + "\n";
    const std::string groupLine = identity.group.empty() ? "" : "group=" + identity.group + "\n";
    if (!storage.createDurably(
            mine,
            formatText("# pipelinesetup store\nformat=%u\ntrellan_id=%u\n%s%s", identity.format,
                       identity.trellanId, catalogLine.c_str(), groupLine.c_str()),
            fileModesFor(identity.group))) {
        unusable(systemError("cannot write", mine));
    }
    const bool linked = storage.link(mine, path);
    const int saved = errno;
    storage.remove(mine);
    if (!linked && saved != EEXIST) {
        errno = saved;
        unusable(systemError("cannot write", path));
    }
    storage.syncDirectory(dir);
}

// Refuses (Unusable) a store whose identity does not fit what is asked: a
// format newer than this platform's, a catalog or group other than the one
// given, a catalog connection string that cannot be used.
void checkIdentity(const Identity& identity, const std::string& dir, const std::string& catalog,
                   const std::string& shareGroup) {
    if (identity.format > kStoreFormat) {
        unusable(formatText("the store %s has format %u, newer than this platform's %u",
                            dir.c_str(), identity.format, kStoreFormat));
    }
    if (!catalog.empty() && catalog != identity.catalog) {
        unusable("the store " + dir + " keeps its catalog " +
                 (identity.catalog.empty() ? std::string("in catalog.db")
                                           : "at the connection string in its store.ini") +
                 ", not at the one given");
    }
    if (!shareGroup.empty() && shareGroup != identity.group) {
        unusable("the store " + dir + " is " +
                 (identity.group.empty() ? std::string("shared with no group")
                                         : "shared with the group " + identity.group) +
                 "; a group can be named only for a new store");
    }
    checkConnectionStringIfAny(identity.catalog);
}

}  // namespace

Store::Store(std::shared_ptr<Storage> storage, std::string dir, Access access)
    : m_storage(std::move(storage)), m_dir(std::move(dir)), m_access(access) {}

Store::~Store() { releaseJobs(); }

std::shared_ptr<Store> Store::open(std::shared_ptr<Storage> storage, const std::string& dir,
                                   Access access, bool create, const std::string& catalog,
                                   const std::string& fallback, const std::string& shareGroup,
                                   bool clearPlaces) {
    const bool mayCreate = access == Access::ReadWrite && create;
    // A catalog named for a store about to be made is checked, and its
    // server reached, before anything is made.
    const bool made = holdsStoreFiles(*storage, dir);
    const std::string& named = catalog.empty() && !made ? fallback : catalog;
    if (!named.empty()) checkConnectionString(named);
    if (mayCreate && !made && !named.empty()) checkPostgresReachable(named);
    EntryStatus status;
    if (!storage->status(dir, &status, true)) {
        if (errno != ENOENT) unusable(systemError("cannot reach the store", dir));
        if (!mayCreate) throw StoreError(StoreError::Kind::NotFound, "there is no store at " + dir);
        // The folders above the store are the user's; the store's own is
        // made with the store's modes.
        std::string path = dir;
        while (path.size() > 1 && path.back() == '/') path.pop_back();
        if (!storage->makeParents(path) ||
            !storage->makeDirectory(path, fileModesFor(shareGroup))) {
            unusable("cannot create the store " + dir + ": " + std::strerror(errno));
        }
    }
    std::string canonical;
    if (!storage->canonical(dir, &canonical)) {
        unusable(systemError("cannot resolve the store", dir));
    }
    if (!storage->status(canonical, &status, true) || status.kind != EntryStatus::Kind::Directory) {
        unusable("the store " + canonical + " is not a directory");
    }
    // From here on nothing below the store follows a link: a store whose
    // entries were replaced by links cannot lead a command outside it.
    if (!storage->confine(canonical)) unusable(systemError("cannot open the store", canonical));
    std::shared_ptr<Store> store(new Store(std::move(storage), canonical, access));
    store->setUp(mayCreate, catalog, fallback, shareGroup, clearPlaces);
    return store;
}

void Store::setUp(bool create, const std::string& connection, const std::string& fallback,
                  const std::string& shareGroup, bool clearPlaces) {
    Storage& storage = *m_storage;
    const bool isStore = holdsStoreFiles(storage, m_dir);
    if (!isStore) {
        if (!create) throw StoreError(StoreError::Kind::NotFound, "there is no store at " + m_dir);
        std::vector<std::string> names;
        if (!storage.list(m_dir, &names)) unusable(systemError("cannot read", m_dir));
        std::string foreign;
        bool madeMeanwhile = false;
        for (const std::string& name : names) {
            // Another command made the store since the look above.
            if (name == "store.ini" || name == "catalog.db") madeMeanwhile = true;
            if (!allowedBeforeStore(name)) foreign = name;
        }
        if (!foreign.empty() && !madeMeanwhile) {
            unusable(m_dir + " is not a store: it holds " + foreign +
                     " but no store.ini or catalog.db");
        }
    }
    if (m_access == Access::ReadWrite) {
        if (!storage.writable(m_dir)) {
            unusable(systemError("no permission to write the store", m_dir));
        }
    }
    readOrMakeIdentity(connection, fallback, shareGroup);
    if (m_access == Access::ReadWrite) {
        makeDirectory(storage, filesDirectory(), m_modes);
        if (clearPlaces) {
            std::string cleared =
                clearPlace(storage, jobsDirectory(), EntryStatus::Kind::Directory);
            if (!cleared.empty()) noteCleared(std::move(cleared));
        }
        makeDirectory(storage, jobsDirectory(), m_modes);
    } else if (storage.exists(filesDirectory())) {
        EntryStatus status;
        if (!storage.status(filesDirectory(), &status) ||
            status.kind != EntryStatus::Kind::Directory) {
            unusable(filesDirectory() + " is not a directory");
        }
    }
    if (m_access == Access::ReadWrite) {
        // Makes or upgrades the catalog. A damaged one is left for check
        // --repair; every operation that needs it reports it.
        try {
            auto connection = catalog();
            if (!connection->trellanId()) connection->setTrellanId(m_trellanId);
        } catch (const StoreError& error) {
            if (error.kind() != StoreError::Kind::Unusable || !m_connection.empty()) throw;
        }
    } else if (!m_connection.empty()) {
        // A server that cannot be reached fails the opening, before any
        // work; a schema that is missing or damaged is for check to report.
        checkPostgresReachable(m_connection);
    }
}

// The identity file is written once: to a file of its own, then linked into
// place, which fails when another process got there first; then everyone
// reads the winner's.
void Store::readOrMakeIdentity(const std::string& catalog, const std::string& fallback,
                               const std::string& shareGroup) {
    const std::string path = m_dir + "/store.ini";
    Storage& storage = *m_storage;
    if (!storage.exists(path) && !makeIdentity(path, catalog, fallback, shareGroup)) return;
    Identity identity;
    std::string why;
    if (!readIdentityFile(storage, path, &identity, &why)) unusable(why);
    checkIdentity(identity, m_dir, catalog, shareGroup);
    m_trellanId = identity.trellanId;
    m_connection = identity.catalog;
    try {
        m_modes = fileModesFor(identity.group);
    } catch (const StoreError&) {
        // Reading makes nothing but a log, which stays private then.
        if (m_access == Access::ReadWrite) throw;
    }
}

bool Store::makeIdentity(const std::string& path, const std::string& catalog,
                         const std::string& fallback, const std::string& shareGroup) {
    Storage& storage = *m_storage;
    std::optional<uint32_t> known;
    const bool sqliteCatalog = storage.exists(m_dir + "/catalog.db");
    try {
        if (sqliteCatalog) {
            known = openSqliteCatalog(CatalogPlace{m_dir, "", 0, m_modes, m_storage}, m_access)
                        ->trellanId();
        }
    } catch (const StoreError& error) {
        if (m_access == Access::ReadWrite) throw;
    }
    if (m_access == Access::ReadOnly) {
        m_trellanId = known.value_or(0);
        return false;
    }
    std::random_device device;
    std::uniform_int_distribution<uint32_t> pick(1, INT32_MAX);
    const uint32_t trellanId = known.value_or(pick(device));
    const std::string mine = formatText("%s.new-%ld", path.c_str(), static_cast<long>(getpid()));
    storage.remove(mine);
    // A store of the first format keeps its catalog.db: a catalog named
    // for it now would hide every backup it holds.
    if (sqliteCatalog && !catalog.empty()) {
        unusable("the store " + m_dir +
                 " keeps its catalog in catalog.db; a catalog can be named only for a new "
                 "store");
    }
    const std::string recorded = sqliteCatalog     ? std::string()
                                 : catalog.empty() ? fallback
                                                   : catalog;
    checkConnectionStringIfAny(recorded);
    placeIdentity(storage, m_dir, mine, path,
                  Identity{kStoreFormat, trellanId, recorded, shareGroup});
    return true;
}

std::unique_ptr<CatalogBackend> Store::catalog() const {
    return openCatalog(catalogPlace(), m_access);
}

std::unique_ptr<JobLiveness> Store::liveness() const { return openLiveness(catalogPlace()); }

void Store::requireWritable(const char* operation) const {
    if (readOnly()) {
        unusable(std::string(operation) + ": the store " + m_dir + " is open read-only");
    }
}

std::string Store::relativeDataPath(uint64_t afileId) {
    return "files/" + std::to_string(afileId) + ".arch";
}

std::string Store::dataPath(uint64_t afileId) const {
    return m_dir + "/" + relativeDataPath(afileId);
}

std::string Store::sidecarPath(uint64_t afileId) const {
    return filesDirectory() + "/" + std::to_string(afileId) + ".meta";
}

bool Store::resolve(const std::string& catalogPath, std::string* full, std::string* why) const {
    const std::string name = catalogPath.size() > 6 ? catalogPath.substr(6) : "";
    if (!catalogPath.empty() && catalogPath[0] == '/') {
        *why = "its path " + catalogPath + " is absolute, outside the store's files/";
    } else if (catalogPath.find("..") != std::string::npos) {
        *why = "its path " + catalogPath + " contains \"..\"";
    } else if (catalogPath.rfind("files/", 0) != 0 || name.empty() ||
               name.find('/') != std::string::npos) {
        *why = "its path " + catalogPath + " is not in the store's files/";
    } else {
        *full = m_dir + "/" + catalogPath;
        return true;
    }
    return false;
}

ArchiveFileRecord Store::withFullPath(ArchiveFileRecord record) const {
    std::string full, why;
    if (resolve(record.path, &full, &why)) record.path = full;
    return record;
}

std::string clearPlace(Storage& storage, const std::string& path, EntryStatus::Kind belongs) {
    EntryStatus status;
    if (!storage.status(path, &status)) {
        if (errno == ENOENT) return "";
        unusable(systemError("cannot reach", path));
    }
    if (status.kind == belongs) return "";
    if (status.kind == EntryStatus::Kind::Link) {
        if (!storage.remove(path)) unusable(systemError("cannot remove the link", path));
        return "removed the symbolic link " + path + " (what it leads to is untouched)";
    }
    // rename replaces what it renames to: a name of its own, never taken.
    std::string aside = path + ".unusable-" + utcNowCompact();
    for (int n = 2; storage.exists(aside); ++n) {
        aside = path + ".unusable-" + utcNowCompact() + formatText("-%d", n);
    }
    if (!storage.rename(path, aside)) unusable(systemError("cannot move aside", path));
    const char* const kind =
        status.kind == EntryStatus::Kind::Regular ? "a regular file" : describeKind(status.kind);
    return formatText("moved %s, %s, aside to %s", path.c_str(), kind, aside.c_str());
}

std::unique_ptr<StorageFile> Store::openData(const std::string& path, std::string* error) const {
    EntryStatus status;
    std::unique_ptr<StorageFile> file = m_storage->openForReading(path, &status);
    if (file) return file;
    if (errno == ENOENT)
        *error = "its data file " + path + " is missing";
    else if (errno == ELOOP)
        *error = "its data file " + path + " is a symbolic link";
    else if (errno == EINVAL)
        *error =
            "its data file " + path + " is not a regular file but " + describeKind(status.kind);
    else
        *error = systemError("cannot open its data file", path);
    return nullptr;
}

}  // namespace localplatform
