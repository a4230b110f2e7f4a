#pragma once

// Where a configuration's store is and which storage holds its bytes: the
// one place that tells a store in a directory from one in object storage by
// its name. Everything after asks the storage what it can do
// (Storage::capabilities). Internal to the local library.

#include <memory>
#include <string>

#include "platform/local/Config.h"
#include "platform/local/storage/Storage.h"

// Internal to the library: none of it is exported.
#pragma GCC visibility push(hidden)

namespace localplatform {

// The kinds of storage a store's name can ask for.
enum class StorageKind {
    Posix,   // a directory: PosixStorage
    Object,  // "s3://BUCKET[/PREFIX]": ObjectStorage
};

// The kind of storage a store as named (a configuration's, a store's
// directory) asks for.
StorageKind storageKindOf(const std::string& store);
// What a storage of that kind can do, whether or not this build has it.
StorageCapabilities capabilitiesOf(StorageKind kind);

// Where the store is and what holds its bytes.
struct StorePlace {
    std::shared_ptr<Storage> storage;
    std::string dir;
    // For a storage that is no folder on this host (!hostFolder): the local
    // directory that holds what the store keeps on this host, its logs/
    // (logs stay on the host that wrote them). Empty otherwise.
    std::string hostDirectory;
};

// The storage for the store that config names, through a fault storage when
// the configuration has a fault plan. A store in object storage must have
// its catalog in PostgreSQL, named now or recorded by its store.ini, which
// is looked at before anything is made. Throws StoreError (Unusable) for a
// malformed name or fault plan, a store in object storage without a
// catalog, or one this build cannot reach.
StorePlace configuredPlace(const Config& config);

// $PIPELINE_CATALOG: the catalog for stores made without one in the
// configuration.
std::string environmentCatalog();

}  // namespace localplatform

#pragma GCC visibility pop
