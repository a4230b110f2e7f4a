#include "jobs/wal/TablespacePlaces.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "base/AgentError.h"

namespace fs = std::filesystem;

namespace {

bool newOrEmpty(const std::string& path) {
    struct stat status;
    if (::lstat(path.c_str(), &status) != 0) return errno == ENOENT;
    std::error_code error;
    return S_ISDIR(status.st_mode) && fs::is_empty(path, error) && !error;
}

}  // namespace

std::vector<TablespacePlace> placeTablespaces(const std::string& tablespaceMap,
                                              const std::vector<std::string>& mappings) {
    std::map<std::string, std::string> asked;  // OLD -> NEW
    std::set<std::string> targets;
    for (const std::string& mapping : mappings) {
        const auto equals = mapping.find('=');
        if (equals == std::string::npos || equals == 0 || equals + 1 == mapping.size()) {
            throw badInput("--tablespace-mapping " + mapping + " is not OLD=NEW");
        }
        const std::string from = mapping.substr(0, equals);
        const std::string to = mapping.substr(equals + 1);
        if (to[0] != '/') throw badInput("--tablespace-mapping " + mapping + ": NEW must be absolute");
        if (!targets.insert(to).second) throw badInput(to + " is given for two tablespaces");
        if (!newOrEmpty(to)) throw badInput(to + " is neither new nor an empty directory");
        asked[from] = to;
    }
    std::vector<TablespacePlace> places;
    std::istringstream lines(tablespaceMap);
    std::string line;
    while (std::getline(lines, line)) {
        const auto space = line.find(' ');
        if (line.empty() || space == std::string::npos) continue;
        TablespacePlace place{line.substr(0, space), line.substr(space + 1), ""};
        const auto found = asked.find(place.from);
        if (found == asked.end()) {
            throw badInput("the backup has the tablespace " + place.oid + " at " + place.from +
                           ": give --tablespace-mapping " + place.from +
                           "=NEW, a new or empty directory for it");
        }
        place.to = found->second;
        asked.erase(found);
        places.push_back(std::move(place));
    }
    if (!asked.empty()) {
        throw badInput("--tablespace-mapping names " + asked.begin()->first +
                       ", which is no tablespace of the backup");
    }
    return places;
}

void moveTablespaces(const std::string& dataDirectory, const std::vector<TablespacePlace>& places) {
    for (const TablespacePlace& place : places) {
        const std::string restored = dataDirectory + "/pg_tblspc/" + place.oid;
        if (::mkdir(place.to.c_str(), 0700) != 0 && errno != EEXIST) {
            throw jobFailed("cannot make " + place.to + ": " + std::strerror(errno));
        }
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(restored, error)) {
            fs::rename(entry.path(), fs::path(place.to) / entry.path().filename(), error);
            if (error) break;
        }
        if (error || ::rmdir(restored.c_str()) != 0 ||
            ::symlink(place.to.c_str(), restored.c_str()) != 0) {
            throw jobFailed("cannot move tablespace " + place.oid + " to " + place.to + ": " +
                            (error ? error.message() : std::string(std::strerror(errno))));
        }
    }
}

void removeTablespaces(const std::vector<TablespacePlace>& places) noexcept {
    for (const TablespacePlace& place : places) {
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(place.to, error)) {
            fs::remove_all(entry.path(), error);
        }
    }
}
