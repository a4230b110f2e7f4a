// The store's own places as an audit finds them: modes that let others
// write, and locks, logs and names that no command can use.

#include "platform/local/store/AuditPlaces.h"

#include <sys/stat.h>

#include <algorithm>
#include <regex>

#include "platform/local/base/Format.h"
#include "platform/local/store/AuditScan.h"
#include "platform/local/store/Store.h"

namespace localplatform::audit {

void findWritableByOthers(const Store& store, std::vector<std::string>* problems) {
    const std::string& dir = store.directory();
    for (const std::string& path :
         {dir, dir + "/store.ini", dir + "/catalog.db", store.filesDirectory(),
          store.jobsDirectory(), dir + "/logs"}) {
        EntryStatus status;
        if (!store.storage().status(path, &status)) continue;
        if (status.kind == EntryStatus::Kind::Link) {
            // Never followed: whoever put it there meant to lead the store's
            // writes elsewhere.
            problems->push_back(path + " is a symbolic link; the store follows none: remove it");
            continue;
        }
        if ((status.permissions & (S_IWGRP | S_IWOTH)) != 0) {
            problems->push_back(formatText(
                "%s can be written by users other than its owner (mode %04o); chmod go-w %s",
                path.c_str(), static_cast<unsigned>(status.permissions), path.c_str()));
        }
    }
}

bool findUnusableEntries(const Store& store, std::vector<std::string>* problems,
                         std::vector<std::string>* clear) {
    Storage& storage = store.storage();
    bool clearable = false;
    EntryStatus status;
    if (storage.status(store.jobsDirectory(), &status) &&
        status.kind != EntryStatus::Kind::Directory) {
        // A link is named with the store's other places (findWritableByOthers).
        if (status.kind != EntryStatus::Kind::Link) {
            problems->push_back(
                formatText("%s is %s, not the folder of the jobs' locks and markers; move it aside",
                           store.jobsDirectory().c_str(),
                           status.kind == EntryStatus::Kind::Regular ? "a regular file"
                                                                     : describeKind(status.kind)));
        }
        clearable = true;
    }
    static const std::regex numbered(R"(([0-9]+)\.(lock|complete|manifest\.json))");
    std::vector<std::string> names;
    if (storage.list(store.jobsDirectory(), &names)) {
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            std::smatch match;
            if (!std::regex_match(name, match, numbered)) continue;
            const std::string path = store.jobsDirectory() + "/" + name;
            if (!numberOf<unsigned long long>(match[1].str())) {
                problems->push_back(path +
                                    " is none of the store's: its number is no job id (at most "
                                    "18446744073709551615); remove it by hand");
                continue;
            }
            if (match[2] != "lock" || !storage.status(path, &status) ||
                status.kind == EntryStatus::Kind::Regular) {
                continue;
            }
            problems->push_back(formatText(
                "%s is %s, not a lock file: no backup, restore or deletion of job %s can take "
                "it; remove %s (never what it leads to)",
                path.c_str(), describeKind(status.kind), match[1].str().c_str(),
                status.kind == EntryStatus::Kind::Link ? "the link" : "it or move it aside"));
            if (clear) clear->push_back(path);
            clearable = true;
        }
    }
    const std::string logs = store.directory() + "/logs";
    names.clear();
    if (storage.list(logs, &names)) {
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            if (name.size() <= 4 || name.compare(name.size() - 4, 4, ".log") != 0) continue;
            const std::string path = logs + "/" + name;
            if (!storage.status(path, &status) || status.kind == EntryStatus::Kind::Regular) {
                continue;
            }
            problems->push_back(formatText(
                "%s is %s, not a log file: the command that writes it refuses to run; remove "
                "%s (never what it leads to)",
                path.c_str(), describeKind(status.kind),
                status.kind == EntryStatus::Kind::Link ? "the link" : "it or move it aside"));
            if (clear) clear->push_back(path);
            clearable = true;
        }
    }
    return clearable;
}

void clearUnusableEntries(const Store& store, std::vector<std::string>* cleared) {
    std::vector<std::string> ignored, paths;
    findUnusableEntries(store, &ignored, &paths);
    for (const std::string& path : paths) {
        std::string line = clearPlace(store.storage(), path, EntryStatus::Kind::Regular);
        if (!line.empty()) cleared->push_back(std::move(line));
    }
}

}  // namespace localplatform::audit
