#pragma once

#include <optional>
#include <string>
#include <vector>

#include "manifest/Manifest.h"
#include "stages/DataKeyWrap.h"
#include "stages/JobStages.h"
#include "stages/KeyDerivation.h"
#include "stages/SecretKey.h"

// Where the user's key comes from, as the command line gives it: a key file,
// else a passphrase ($PIPELINE_PASSPHRASE, else asked on the terminal).
struct KeySource {
    std::string keyFile;  // --key-file; empty: a passphrase
};

// What the user holds, read once and checked: a key file's content
// (readKeyFile's checks: a regular file, mode 0600 or stricter, 32 bytes to
// 1 MiB), else a passphrase, from $PIPELINE_PASSPHRASE or, when standard
// input is a terminal, asked on it without echo. Wiped when it goes.
struct UserKey {
    std::optional<KeyFileContent> keyFile;  // none: the passphrase
    std::string passphrase;
    UserKey() = default;
    UserKey(UserKey&&) = default;
    UserKey(const UserKey&) = delete;
    UserKey& operator=(const UserKey&) = delete;
    ~UserKey();
};

// Reads the user's key as `source` says. Throws badInput (exit 2) with one
// line when the key file is refused or there is no key to be had: `what`
// says what needs it. A backup reads it before its store is opened or made,
// so that a refused key leaves nothing behind.
UserKey readUserKey(const KeySource& source, const std::string& what);

// The store key that `recipe` makes from the user's key. Throws badInput
// when the recipe is for the other kind of key, or is one this agent never
// makes (requireKnownRecipe).
StoreKey storeKeyOf(const UserKey& key, const KeyRecipe& recipe);

// The same from the command line's source: the recipe's kind is checked
// before the key is read.
StoreKey storeKeyFor(const KeySource& source, const KeyRecipe& recipe, const std::string& what);

// The open store's key and the recipe that makes it, for a backup with
// --encrypt. The store keeps one key check, STORE/encryption-check (a
// wrapped random key of job 0), read through the store's storage (never
// following a link or blocking; a few hundred bytes at most): anything but
// a regular file there is refused with one badInput line. The first
// encrypted backup writes it, once, whole or not at all and only if none is
// there (placeStoreSetting), and every later one must open it with the key it
// is given: a wrong key throws badInput before any data is read. `limits`:
// Argon2id's cost for a new passphrase recipe. Thread rules: the job's
// thread.
struct StoreKeyring {
    StoreKey key;
    KeyRecipe recipe;
};
StoreKeyring openStoreKey(const UserKey& key, KdfLimits limits);

// The open store's key check as stored (openStoreKey's file), for a copy of
// an encrypted job into another store; nullopt when it has none. Throws
// AgentError (bad input) as openStoreKey does for what is not a regular
// file of a key check's size.
std::optional<std::string> storeKeyCheck();
// Gives the open store the key check `text` (another store's storeKeyCheck)
// when it has none: placed whole or not at all. False when it has one, which
// stays. Throws AgentError (failed job) when it cannot be written.
bool adoptStoreKeyCheck(const std::string& text);

// The data key of an encrypted job, from its manifest's wrapped key and the
// user's key. Missing or wrong key, or a wrapped key whose recipe this agent
// never makes: badInput (exit 2), one line naming the job, before any data
// is read (and before any key is derived or asked for).
DataKey jobDataKey(const Manifest& manifest, const KeySource& source);

// The stages to decode a job's frames with, as its backup made them (the
// manifest's codec, level and frame size): with its data key (jobDataKey)
// when it is encrypted. Throws AgentError when the key does not open it.
JobStages jobStagesOf(const Manifest& manifest, const KeySource& key);

// The stages of a job of format 5 and of every job it refers to: [0] its
// own (nullopt for bytes stored as they are), then one per reference in the
// manifest's order. The user's key is read once, and each store key derived
// once, however many of the jobs are encrypted. Throws AgentError as
// jobStagesOf; a --key-file (source) for a manifest none of whose jobs went
// through stages is refused (bad input).
std::vector<std::optional<JobStages>> chainStagesOf(const Manifest& manifest,
                                                    const KeySource& source);
