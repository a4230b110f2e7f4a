#pragma once

// The state behind a ZebArchive of the local platform, shared by the files
// that define its backup side (BackupArchive.cpp), its restore side
// (RestoreArchive.cpp) and its life (ZebArchive.cpp). Internal to the local
// library; not installed.

#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "platform/CZebNetwork.h"
#include "platform/ZebArchive.h"
#include "platform/local/ArchiveFiles.h"
#include "platform/local/api/SessionHead.h"
#include "platform/local/base/Diagnostics.h"
#include "platform/local/base/Format.h"
#include "platform/local/catalog/CatalogBackend.h"
#include "platform/local/media/MediaSide.h"
#include "platform/local/process/Context.h"
#include "platform/local/store/ArchiveWriter.h"
#include "platform/local/store/Store.h"

// Internal to the library: none of it is exported.
#pragma GCC visibility push(hidden)

struct ZebArchive::Impl {
    enum class Side { Backup, Restore };

    explicit Impl(Side side) : side(side) {}

    const Side side;

    // Backup side.
    bool pipelineSetUp = false;
    localplatform::NewArchiveFile pipeline;  // what setupPipeline said of the files to come
    std::shared_ptr<localplatform::ArchiveWriter> writer;
    std::shared_ptr<localplatform::Store> store;  // the writer's, registered there

    // Restore side.
    std::vector<std::unique_ptr<CZebNetwork>> sessionHeads;  // every one handed out
    std::shared_ptr<localplatform::MediaSide> media;         // of the last file opened
    bool fileOpen = false;
    ArchiveFileId_t openId{};
    localplatform::MediaSide::Bytes buffer;  // the data of the last readBuffer, until freeBuffer
};

namespace localplatform::archive {

// A call this object cannot serve.
constexpr int kRefused = 1;
// The store failed.
constexpr int kFailed = 2;

inline int refuse(const std::string& text) {
    localplatform::platformError(text);
    return kRefused;
}

inline std::string describe(const ArchiveFileId_t& id) {
    return localplatform::archiveFileName(id.trellanId, id.groupNumber, id.afileId);
}

inline ArchiveFileId_t identityOf(const localplatform::ArchiveFileRecord& record) {
    return ArchiveFileId_t{record.trellanId, record.groupNumber, record.afileId};
}

// Runs an operation that uses the store, turning its failures into kFailed
// with a log line.
template <typename Operation>
int guarded(const char* name, Operation operation) {
    try {
        return operation();
    } catch (const std::exception& error) {
        localplatform::platformError(std::string(name) + ": " + error.what());
        return kFailed;
    }
}

}  // namespace localplatform::archive

#pragma GCC visibility pop
