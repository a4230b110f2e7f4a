#include "keys/JobKeys.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "base/AgentError.h"
#include "platform/local/Config.h"
#include "platform/local/StoreSession.h"
#include "platform/local/StoreSettings.h"

namespace {

constexpr const char* kCheckName = "encryption-check";
constexpr uint64_t kCheckJob = 0;
// What the check holds is 229 bytes; more is no check this agent wrote.
constexpr std::size_t kMaxCheckBytes = 4096;

// Reads one line from the terminal with its echo off; nullopt-like empty
// string when it cannot.
std::string askPassphrase() {
    const int fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return "";
    struct termios saved {};
    const bool isTerminal = ::tcgetattr(fd, &saved) == 0;
    if (isTerminal) {
        struct termios quiet = saved;
        quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
        ::tcsetattr(fd, TCSAFLUSH, &quiet);
    }
    static const char kPrompt[] = "passphrase: ";
    (void)!::write(fd, kPrompt, sizeof kPrompt - 1);
    std::string line;
    char c = 0;
    while (::read(fd, &c, 1) == 1 && c != '\n') line.push_back(c);
    if (isTerminal) ::tcsetattr(fd, TCSAFLUSH, &saved);
    (void)!::write(fd, "\n", 1);
    ::close(fd);
    return line;
}

// The store's key check as its storage reads it: never through a link,
// never blocking on a FIFO, never more than a few hundred bytes. nullopt
// when there is none.
std::optional<std::string> storedCheck() {
    try {
        return localplatform::storeSetting(kCheckName, kMaxCheckBytes);
    } catch (const localplatform::StoreError& error) {
        throw badInput(error.what());
    }
}

}  // namespace

UserKey::~UserKey() { sodium_memzero(passphrase.data(), passphrase.size()); }

UserKey readUserKey(const KeySource& source, const std::string& what) {
    UserKey key;
    if (!source.keyFile.empty()) {
        key.keyFile = readKeyFile(source.keyFile);
        return key;
    }
    if (const char* given = std::getenv("PIPELINE_PASSPHRASE"); given && *given) {
        key.passphrase = given;
    } else if (::isatty(STDIN_FILENO)) {
        key.passphrase = askPassphrase();
    }
    if (key.passphrase.empty()) {
        throw badInput(what + " needs its key: give --key-file FILE or set PIPELINE_PASSPHRASE");
    }
    return key;
}

StoreKey storeKeyOf(const UserKey& key, const KeyRecipe& recipe) {
    if (key.keyFile) return storeKeyFromKeyFile(*key.keyFile, recipe);
    return storeKeyFromPassphrase(key.passphrase, recipe);
}

StoreKey storeKeyFor(const KeySource& source, const KeyRecipe& recipe, const std::string& what) {
    // The recipe's kind first: a key file is not read, nor a passphrase
    // asked, for a key of the other kind.
    if (!source.keyFile.empty() && recipe.source != KeyRecipe::Source::KeyFile)
        throw badInput("the job's key was made from a passphrase, not a key file");
    return storeKeyOf(readUserKey(source, what), recipe);
}

StoreKeyring openStoreKey(const UserKey& key, KdfLimits limits) {
    const std::string path = localplatform::storeSettingPath(kCheckName);
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (const std::optional<std::string> text = storedCheck()) {
            const WrappedDataKey check = WrappedDataKey::fromText(
                std::string(text->begin(), text->end() - (!text->empty() && text->back() == '\n')),
                path);
            StoreKeyring ring{storeKeyOf(key, check.recipe), check.recipe};
            try {
                (void)unwrapDataKey(check, ring.key);
            } catch (const AgentError&) {
                throw badInput("the key does not open this store's key check " + path +
                               ": wrong key file or passphrase");
            }
            return ring;
        }
        const KeyRecipe recipe = key.keyFile ? newKeyFileRecipe() : newPassphraseRecipe(limits);
        StoreKeyring ring{storeKeyOf(key, recipe), recipe};
        const WrappedDataKey check = wrapDataKey(newDataKey(), ring.key, recipe, kCheckJob);
        if (adoptStoreKeyCheck(check.toText() + "\n")) return ring;
        // Another backup made the store's check first: use that one.
    }
    throw jobFailed("cannot settle the store's key check " + path);
}

std::optional<std::string> storeKeyCheck() { return storedCheck(); }

bool adoptStoreKeyCheck(const std::string& text) {
    try {
        return localplatform::placeStoreSetting(kCheckName, text);
    } catch (const localplatform::StoreError& error) {
        throw jobFailed(error.what());
    }
}

DataKey jobDataKey(const Manifest& manifest, const KeySource& source) {
    const std::string job = "job " + std::to_string(manifest.jobId);
    const WrappedDataKey wrapped =
        WrappedDataKey::fromText(manifest.stages.wrappedKey, job + "'s wrapped key");
    if (wrapped.jobId != manifest.jobId) {
        throw badInput(job + "'s wrapped key belongs to job " + std::to_string(wrapped.jobId));
    }
    const StoreKey key = storeKeyFor(source, wrapped.recipe, job + " is encrypted and");
    return unwrapDataKey(wrapped, key);
}

JobStages jobStagesOf(const Manifest& manifest, const KeySource& key) {
    JobStages stages;
    stages.codec = manifest.stages.codec;
    stages.level = manifest.stages.level;
    stages.frameSize = static_cast<std::size_t>(manifest.stages.frameSize);
    stages.jobId = manifest.jobId;
    if (manifest.stages.encrypted()) stages.key = jobDataKey(manifest, key);
    return stages;
}

namespace {

// The stages of job `jobId` as `stages` records them, its data key unwrapped
// with the store key of its recipe, derived from user (read at the first
// need) once per recipe.
std::optional<JobStages> stagesWith(unsigned long long jobId, const ManifestStages& stages,
                                    const KeySource& source, std::optional<UserKey>& user,
                                    std::vector<std::pair<KeyRecipe, StoreKey>>& derived) {
    if (!stages.framed) return std::nullopt;
    JobStages result;
    result.codec = stages.codec;
    result.level = stages.level;
    result.frameSize = static_cast<std::size_t>(stages.frameSize);
    result.jobId = jobId;
    if (!stages.encrypted()) return result;
    const std::string job = "job " + std::to_string(jobId);
    const WrappedDataKey wrapped =
        WrappedDataKey::fromText(stages.wrappedKey, job + "'s wrapped key");
    if (wrapped.jobId != jobId) {
        throw badInput(job + "'s wrapped key belongs to job " + std::to_string(wrapped.jobId));
    }
    const auto same = [&](const std::pair<KeyRecipe, StoreKey>& known) {
        const KeyRecipe& r = known.first;
        return r.source == wrapped.recipe.source && r.salt == wrapped.recipe.salt &&
               r.opsLimit == wrapped.recipe.opsLimit && r.memLimit == wrapped.recipe.memLimit;
    };
    auto found = std::find_if(derived.begin(), derived.end(), same);
    if (found == derived.end()) {
        if (!source.keyFile.empty() && wrapped.recipe.source != KeyRecipe::Source::KeyFile) {
            throw badInput("the job's key was made from a passphrase, not a key file");
        }
        if (!user) user.emplace(readUserKey(source, job + " is encrypted and"));
        derived.emplace_back(wrapped.recipe, storeKeyOf(*user, wrapped.recipe));
        found = derived.end() - 1;
    }
    result.key = unwrapDataKey(wrapped, found->second);
    return result;
}

}  // namespace

std::vector<std::optional<JobStages>> chainStagesOf(const Manifest& manifest,
                                                    const KeySource& source) {
    bool framed = manifest.stages.framed;
    for (const ManifestReference& reference : manifest.references) {
        framed = framed || reference.stages.framed;
    }
    if (!framed && !source.keyFile.empty()) {
        throw badInput("job " + std::to_string(manifest.jobId) +
                       " is not encrypted; --key-file is for an encrypted job");
    }
    std::optional<UserKey> user;
    std::vector<std::pair<KeyRecipe, StoreKey>> derived;
    std::vector<std::optional<JobStages>> stages;
    stages.push_back(stagesWith(manifest.jobId, manifest.stages, source, user, derived));
    for (const ManifestReference& reference : manifest.references) {
        stages.push_back(stagesWith(reference.jobId, reference.stages, source, user, derived));
    }
    return stages;
}
