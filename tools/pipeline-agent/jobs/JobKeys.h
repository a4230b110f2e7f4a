#pragma once

#include <string>

#include "manifest/Manifest.h"
#include "stages/DataKeyWrap.h"
#include "stages/KeyDerivation.h"
#include "stages/SecretKey.h"

// Where the user's key comes from, as the command line gives it: a key file,
// else a passphrase ($PIPELINE_PASSPHRASE, else asked on the terminal).
struct KeySource {
    std::string keyFile;  // --key-file; empty: a passphrase
};

// The store key that `recipe` makes from the user's key: the key file's
// (KeyDerivation's checks: mode 0600 or stricter, 32 bytes or more), else
// the passphrase's, read from $PIPELINE_PASSPHRASE or, when standard input
// is a terminal, asked on it without echo. Throws badInput (exit 2) with one
// line when there is no key to be had: `what` says what needs it.
StoreKey storeKeyFor(const KeySource& source, const KeyRecipe& recipe, const std::string& what);

// The store's key and the recipe that makes it, for a backup with
// --encrypt. The store keeps one key check, STORE/encryption-check (a
// wrapped random key of job 0); the first encrypted backup writes it, once
// (a new file, synced, linked into place only if none is there), and every
// later one must open it with the key it is given: a wrong key throws
// badInput before any data is read. `limits`: Argon2id's cost for a new
// passphrase recipe. Thread rules: the job's thread.
struct StoreKeyring {
    StoreKey key;
    KeyRecipe recipe;
};
StoreKeyring openStoreKey(const std::string& store, const KeySource& source, KdfLimits limits);

// The data key of an encrypted job, from its manifest's wrapped key and the
// user's key. Missing or wrong key: badInput (exit 2), one line naming the
// job, before any data is read.
DataKey jobDataKey(const Manifest& manifest, const KeySource& source);
