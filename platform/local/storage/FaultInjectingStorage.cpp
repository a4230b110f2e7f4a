// The fault storage: every operation is numbered, recorded and, as the
// rules say, failed, cut short, stalled or ended by a power loss before it
// reaches the storage it wraps.

#include "platform/local/storage/FaultInjectingStorage.h"

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <sstream>
#include <thread>
#include <utility>

#include "platform/local/base/Diagnostics.h"
#include "platform/local/base/Format.h"

namespace localplatform {

namespace {

struct OpName {
    StorageOp op;
    const char* name;
};

constexpr OpName kOpNames[] = {
    {StorageOp::Create, "create"},
    {StorageOp::Open, "open"},
    {StorageOp::Status, "status"},
    {StorageOp::Append, "append"},
    {StorageOp::Sync, "sync"},
    {StorageOp::Read, "read"},
    {StorageOp::Size, "size"},
    {StorageOp::Rename, "rename"},
    {StorageOp::Link, "link"},
    {StorageOp::Remove, "remove"},
    {StorageOp::List, "list"},
    {StorageOp::Lock, "lock"},
    {StorageOp::MakeDirectory, "mkdir"},
    {StorageOp::MakeParents, "mkparents"},
    {StorageOp::SyncDirectory, "syncdir"},
    {StorageOp::Canonical, "canonical"},
    {StorageOp::Writable, "writable"},
    {StorageOp::Truncate, "truncate"},
    {StorageOp::Pending, "pending"},
    {StorageOp::Abandon, "abandon"},
    {StorageOp::Replace, "replace"},
    {StorageOp::Place, "place"},
};

struct ErrorName {
    int error;
    const char* name;
};

constexpr ErrorName kErrors[] = {
    {ENOSPC, "ENOSPC"}, {EIO, "EIO"}, {EDQUOT, "EDQUOT"}, {EROFS, "EROFS"}};

const char* errorName(int error) {
    for (const ErrorName& entry : kErrors) {
        if (entry.error == error) return entry.name;
    }
    return "EIO";
}

bool positive(const std::string& text, unsigned long* value) {
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, *value);
    return !text.empty() && error == std::errc() && stop == end && *value > 0;
}

// "250ms" or "2s".
bool duration(const std::string& text, std::chrono::milliseconds* value) {
    const bool seconds = text.size() > 1 && text.back() == 's' && text[text.size() - 2] != 'm';
    const std::size_t unit = seconds ? 1 : 2;
    if (text.size() <= unit || (!seconds && text.compare(text.size() - 2, 2, "ms") != 0)) {
        return false;
    }
    unsigned long count = 0;
    if (!positive(text.substr(0, text.size() - unit), &count)) return false;
    *value = std::chrono::milliseconds(seconds ? count * 1000 : count);
    return *value <= kMaxStall;
}

}  // namespace

const char* storageOpName(StorageOp op) {
    for (const OpName& entry : kOpNames) {
        if (entry.op == op) return entry.name;
    }
    return "?";
}

bool parseFaultRule(const std::string& text, FaultRule* rule, std::string* why) {
    FaultRule parsed;
    bool numbered = false, errorGiven = false;
    std::istringstream words(text);
    std::string word;
    while (std::getline(words, word, ',')) {
        const auto equals = word.find('=');
        const std::string key = word.substr(0, equals);
        const std::string value = equals == std::string::npos ? "" : word.substr(equals + 1);
        bool good = true;
        if (key == "op") {
            good = false;
            for (const OpName& entry : kOpNames) {
                if (value == entry.name) {
                    parsed.op = entry.op;
                    good = true;
                }
            }
        } else if (key == "in") {
            parsed.pathPart = value;
            good = !value.empty();
        } else if (key == "nth" || key == "from") {
            good = positive(value, &parsed.nth);
            parsed.onward = key == "from";
            numbered = good;
        } else if (key == "errno") {
            good = false;
            for (const ErrorName& entry : kErrors) {
                if (value == entry.name) {
                    parsed.error = entry.error;
                    good = errorGiven = true;
                }
            }
        } else if (key == "short" && value.empty()) {
            parsed.kind = FaultKind::Short;
        } else if (key == "crash" && value.empty()) {
            parsed.kind = FaultKind::Crash;
        } else if (key == "stall") {
            parsed.kind = FaultKind::Stall;
            good = duration(value, &parsed.stall);
        } else {
            good = false;
        }
        if (!good) {
            *why = "the storage fault rule \"" + text + "\" has an unusable word \"" + word + "\"";
            return false;
        }
    }
    if (!numbered) {
        *why =
            "the storage fault rule \"" + text + "\" names no operation number (nth=N or from=N)";
        return false;
    }
    if (errorGiven && (parsed.kind == FaultKind::Stall || parsed.kind == FaultKind::Crash)) {
        *why =
            "the storage fault rule \"" + text + "\" gives an errno to a fault that fails nothing";
        return false;
    }
    *rule = parsed;
    return true;
}

bool parseFaultPlan(const std::string& text, std::vector<FaultRule>* rules, std::string* why) {
    std::vector<FaultRule> parsed;
    std::istringstream plan(text);
    std::string part;
    while (std::getline(plan, part, ';')) {
        FaultRule rule;
        if (!parseFaultRule(part, &rule, why)) return false;
        parsed.push_back(rule);
    }
    if (parsed.empty()) {
        *why = "the storage fault plan \"" + text + "\" has no rule";
        return false;
    }
    *rules = std::move(parsed);
    return true;
}

// A file of the wrapped storage whose operations pass the fault storage.
class FaultInjectingStorage::File final : public StorageFile {
public:
    File(std::shared_ptr<FaultInjectingStorage> owner, std::unique_ptr<StorageFile> inner)
        : m_owner(std::move(owner)), m_inner(std::move(inner)) {}

    const std::string& path() const override { return m_inner->path(); }

    bool append(const void* data, std::size_t length, std::size_t* written) override {
        const Decision decision = m_owner->enter(StorageOp::Append, path());
        if (decision.fail) {
            if (written) *written = 0;
            errno = decision.error;
            return false;
        }
        if (decision.shortWrite) {
            std::size_t done = 0;
            m_inner->append(data, length / 2, &done);
            if (written) *written = done;
            errno = decision.error;
            return false;
        }
        return m_inner->append(data, length, written);
    }

    bool sync() override {
        const Decision decision = m_owner->enter(StorageOp::Sync, path());
        if (decision.fail) {
            errno = decision.error;
            return false;
        }
        if (!m_inner->sync()) return false;
        unsigned long long size = 0;
        if (m_inner->size(&size)) m_owner->synced(path(), size);
        return true;
    }

    // A sync as faults count it, then the inner file's own finishing.
    bool finish() override {
        const Decision decision = m_owner->enter(StorageOp::Sync, path());
        if (decision.fail) {
            errno = decision.error;
            return false;
        }
        if (!m_inner->finish()) return false;
        unsigned long long size = 0;
        if (m_inner->size(&size)) m_owner->synced(path(), size);
        return true;
    }

    ssize_t readAt(void* data, std::size_t length, unsigned long long offset) override {
        const Decision decision = m_owner->enter(StorageOp::Read, path());
        if (decision.fail) {
            errno = decision.error;
            return -1;
        }
        return m_inner->readAt(data, length, offset);
    }

    bool size(unsigned long long* size) override {
        const Decision decision = m_owner->enter(StorageOp::Size, path());
        if (decision.fail) {
            errno = decision.error;
            return false;
        }
        return m_inner->size(size);
    }

private:
    const std::shared_ptr<FaultInjectingStorage> m_owner;
    const std::unique_ptr<StorageFile> m_inner;
};

FaultInjectingStorage::FaultInjectingStorage(std::shared_ptr<Storage> inner,
                                             std::vector<FaultRule> rules, Sleep sleep, Crash crash)
    : m_inner(std::move(inner)),
      m_rules(std::move(rules)),
      m_sleep(sleep ? std::move(sleep) : Sleep([](std::chrono::milliseconds time) {
          std::this_thread::sleep_for(time);
      })),
      m_crash(crash ? std::move(crash) : Crash([] { ::raise(SIGKILL); })) {}

FaultInjectingStorage::Decision FaultInjectingStorage::enter(StorageOp op,
                                                             const std::string& path) {
    Decision decision;
    std::chrono::milliseconds stall{0};
    bool crash = false;
    std::string line;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        StorageCall call;
        call.index = m_calls.size() + 1;
        call.op = op;
        call.path = path;
        for (std::size_t i = 0; i < m_rules.size(); ++i) {
            const FaultRule& rule = m_rules[i];
            if (rule.op && *rule.op != op) continue;
            if (path.find(rule.pathPart) == std::string::npos) continue;
            // Each rule counts the operations it looks at.
            const unsigned long number = ++m_counts[i];
            if (rule.onward ? number < rule.nth : number != rule.nth) continue;
            switch (rule.kind) {
            case FaultKind::Fail:
                decision.fail = true;
                decision.error = rule.error;
                break;
            case FaultKind::Short:
                // Only a write can be short; anything else fails.
                (op == StorageOp::Append ? decision.shortWrite : decision.fail) = true;
                decision.error = rule.error;
                break;
            case FaultKind::Stall: stall = std::max(stall, rule.stall); break;
            case FaultKind::Crash: crash = true; break;
            }
        }
        if (crash) {
            // Should the process live on (a test's crash), the operation
            // never happened.
            decision = Decision{true, false, EIO};
        }
        call.injected = decision.error;
        call.stalled = stall.count() > 0;
        if (crash)
            line = "a power loss at";
        else if (decision.shortWrite)
            line = formatText("a short write, then %s, at", errorName(decision.error));
        else if (decision.fail)
            line = formatText("%s at", errorName(decision.error));
        else if (call.stalled)
            line = formatText("a stall of %lld ms at", static_cast<long long>(stall.count()));
        if (!line.empty()) {
            line = formatText("storage fault: %s operation %lu, %s of %s", line.c_str(), call.index,
                              storageOpName(op), path.c_str());
        }
        m_calls.push_back(std::move(call));
        if (crash) dropUnsyncedLocked();
    }
    // Logged before it takes effect, so that a crash leaves its line.
    if (!line.empty()) platformError(line);
    if (crash) m_crash();
    if (stall.count() > 0) m_sleep(stall);
    return decision;
}

void FaultInjectingStorage::made(const std::string& path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_unsyncedNames[parentDirectory(path)].insert(path);
}

void FaultInjectingStorage::synced(const std::string& path, unsigned long long size) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_syncedSizes[path] = size;
}

std::unique_ptr<StorageFile> FaultInjectingStorage::createExclusive(const std::string& path,
                                                                    const FileModes& modes) {
    const Decision decision = enter(StorageOp::Create, path);
    if (decision.fail) {
        errno = decision.error;
        return nullptr;
    }
    std::unique_ptr<StorageFile> file = m_inner->createExclusive(path, modes);
    if (!file) return nullptr;
    synced(path, 0);
    made(path);
    return std::make_unique<File>(shared_from_this(), std::move(file));
}

std::unique_ptr<StorageFile> FaultInjectingStorage::openForReading(const std::string& path,
                                                                   EntryStatus* status) {
    const Decision decision = enter(StorageOp::Open, path);
    if (decision.fail) {
        errno = decision.error;
        return nullptr;
    }
    std::unique_ptr<StorageFile> file = m_inner->openForReading(path, status);
    if (!file) return nullptr;
    return std::make_unique<File>(shared_from_this(), std::move(file));
}

// The operations on names: each one passes enter() first and, when it is
// to fail, fails with the rule's errno without reaching the wrapped storage.
#define LOCALPLATFORM_FAULT_OR_FAIL(op, path)          \
    do {                                               \
        const Decision decision = enter((op), (path)); \
        if (decision.fail || decision.shortWrite) {    \
            errno = decision.error;                    \
            return false;                              \
        }                                              \
    } while (false)

bool FaultInjectingStorage::status(const std::string& path, EntryStatus* status, bool follow) {
    LOCALPLATFORM_FAULT_OR_FAIL(StorageOp::Status, path);
    return m_inner->status(path, status, follow);
}

bool FaultInjectingStorage::rename(const std::string& from, const std::string& to) {
    LOCALPLATFORM_FAULT_OR_FAIL(StorageOp::Rename, from);
    if (!m_inner->rename(from, to)) return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto size = m_syncedSizes.find(from);
    if (size != m_syncedSizes.end()) {
        m_syncedSizes[to] = size->second;
        m_syncedSizes.erase(from);
    }
    return true;
}

bool FaultInjectingStorage::link(const std::string& from, const std::string& to) {
    LOCALPLATFORM_FAULT_OR_FAIL(StorageOp::Link, from);
    if (!m_inner->link(from, to)) return false;
    made(to);
    return true;
}

bool FaultInjectingStorage::remove(const std::string& path) {
    LOCALPLATFORM_FAULT_OR_FAIL(StorageOp::Remove, path);
    if (!m_inner->remove(path)) return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_syncedSizes.erase(path);
    const auto names = m_unsyncedNames.find(parentDirectory(path));
    if (names != m_unsyncedNames.end()) names->second.erase(path);
    return true;
}

bool FaultInjectingStorage::list(const std::string& path, std::vector<std::string>* names) {
    LOCALPLATFORM_FAULT_OR_FAIL(StorageOp::List, path);
    return m_inner->list(path, names);
}

std::unique_ptr<StorageLock> FaultInjectingStorage::lock(const std::string& path, bool create,
                                                         const FileModes& modes) {
    const Decision decision = enter(StorageOp::Lock, path);
    if (decision.fail) {
        errno = decision.error;
        return nullptr;
    }
    return m_inner->lock(path, create, modes);
}

std::unique_ptr<StorageLock> FaultInjectingStorage::lockShared(const std::string& path, bool create,
                                                               const FileModes& modes) {
    const Decision decision = enter(StorageOp::Lock, path);
    if (decision.fail) {
        errno = decision.error;
        return nullptr;
    }
    return m_inner->lockShared(path, create, modes);
}

bool FaultInjectingStorage::makeDirectory(const std::string& path, const FileModes& modes) {
    LOCALPLATFORM_FAULT_OR_FAIL(StorageOp::MakeDirectory, path);
    return m_inner->makeDirectory(path, modes);
}

bool FaultInjectingStorage::makeParents(const std::string& path) {
    LOCALPLATFORM_FAULT_OR_FAIL(StorageOp::MakeParents, path);
    return m_inner->makeParents(path);
}

bool FaultInjectingStorage::syncDirectory(const std::string& path) {
    LOCALPLATFORM_FAULT_OR_FAIL(StorageOp::SyncDirectory, path);
    if (!m_inner->syncDirectory(path)) return false;
    // Named as parentDirectory() names a file's directory: no final '/'.
    std::string directory = path;
    while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_unsyncedNames.erase(directory);
    return true;
}

bool FaultInjectingStorage::canonical(const std::string& path, std::string* resolved) {
    LOCALPLATFORM_FAULT_OR_FAIL(StorageOp::Canonical, path);
    return m_inner->canonical(path, resolved);
}

bool FaultInjectingStorage::writable(const std::string& path) {
    LOCALPLATFORM_FAULT_OR_FAIL(StorageOp::Writable, path);
    return m_inner->writable(path);
}

bool FaultInjectingStorage::truncate(const std::string& path, unsigned long long size) {
    LOCALPLATFORM_FAULT_OR_FAIL(StorageOp::Truncate, path);
    return m_inner->truncate(path, size);
}

std::vector<PendingWrite> FaultInjectingStorage::pendingWrites(const std::string& directory) {
    const Decision decision = enter(StorageOp::Pending, directory);
    if (decision.fail || decision.shortWrite) {
        errno = decision.error;
        return {};
    }
    return m_inner->pendingWrites(directory);
}

bool FaultInjectingStorage::abandonPendingWrite(const PendingWrite& write) {
    LOCALPLATFORM_FAULT_OR_FAIL(StorageOp::Abandon, write.path);
    return m_inner->abandonPendingWrite(write);
}

bool FaultInjectingStorage::replaceDurably(const std::string& path, const std::string& text,
                                           const FileModes& modes) {
    if (m_inner->showsUnfinishedFiles()) return Storage::replaceDurably(path, text, modes);
    LOCALPLATFORM_FAULT_OR_FAIL(StorageOp::Replace, path);
    return m_inner->replaceDurably(path, text, modes);
}

bool FaultInjectingStorage::placeDurably(const std::string& path, const std::string& text,
                                         const FileModes& modes) {
    if (m_inner->showsUnfinishedFiles()) return Storage::placeDurably(path, text, modes);
    LOCALPLATFORM_FAULT_OR_FAIL(StorageOp::Place, path);
    return m_inner->placeDurably(path, text, modes);
}

#undef LOCALPLATFORM_FAULT_OR_FAIL

std::vector<StorageCall> FaultInjectingStorage::calls() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
}

void FaultInjectingStorage::dropUnsynced() {
    std::lock_guard<std::mutex> lock(m_mutex);
    dropUnsyncedLocked();
}

void FaultInjectingStorage::dropUnsyncedLocked() {
    // What object storage acknowledged stays, whatever becomes of this
    // host; what it had not, it never showed.
    if (!m_inner->showsUnfinishedFiles()) {
        m_unsyncedNames.clear();
        m_syncedSizes.clear();
        return;
    }
    for (const auto& [directory, paths] : m_unsyncedNames) {
        for (const std::string& path : paths) {
            m_inner->remove(path);
            m_syncedSizes.erase(path);
        }
    }
    m_unsyncedNames.clear();
    for (const auto& [path, size] : m_syncedSizes) m_inner->truncate(path, size);
}

// Confinement and the log's appending are not numbered: they were never
// store operations that a fault plan could name, and the log's own writes
// go straight to the file as they always did.
bool FaultInjectingStorage::confine(const std::string& root) { return m_inner->confine(root); }

std::unique_ptr<StorageFile> FaultInjectingStorage::openForAppending(const std::string& path,
                                                                     const FileModes& modes) {
    return m_inner->openForAppending(path, modes);
}

}  // namespace localplatform
