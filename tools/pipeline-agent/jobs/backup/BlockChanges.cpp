#include "jobs/backup/BlockChanges.h"

#include <map>
#include <memory>

#include "base/Console.h"
#include "base/Sha256.h"

namespace {

// Reads input whole, in order: its digest and each block's.
void firstPass(const InputFile& input, BlockChanges& changes) {
    constexpr std::size_t kRead = 1 << 20;
    std::vector<char> buffer(kRead);
    Sha256 whole;
    BlockDigests blocks(changes.blockSize);
    input.open();
    for (uint64_t offset = 0; offset < input.size();) {
        const auto length =
            static_cast<std::size_t>(std::min<uint64_t>(kRead, input.size() - offset));
        input.readQuietly(buffer.data(), length, offset);
        whole.update(buffer.data(), length);
        blocks.update(buffer.data(), length);
        offset += length;
    }
    input.requireUnchanged();
    input.release();
    changes.sha256 = whole.hex();
    changes.digests = blocks.finish();
}

}  // namespace

uint64_t BlockChanges::changedBytes() const {
    uint64_t bytes = 0;
    for (const FileExtent& extent : plan.changed) bytes += extent.length;
    return bytes;
}

void compareBlocks(BackupSet& set, const std::vector<const InputFile*>& read,
                   const Manifest& reference, uint64_t blockSize) {
    std::map<std::string, const ManifestFile*> recorded;
    for (const ManifestFile& file : reference.files) recorded.emplace(file.name, &file);
    std::size_t files = 0;
    uint64_t blocks = 0, changed = 0;
    for (SetEntry& entry : set.entries) {
        if (entry.kind != ManifestFile::Kind::File || entry.read == SIZE_MAX) continue;
        const auto found = recorded.find(entry.name);
        const InputFile& input = *read[entry.read];
        if (found == recorded.end() || !found->second->isFile() ||
            found->second->blockSize != blockSize || input.size() <= blockSize) {
            continue;
        }
        auto changes = std::make_shared<BlockChanges>();
        changes->blockSize = blockSize;
        firstPass(input, *changes);
        changes->plan =
            planBlocks(input.size(), blockSize, changes->digests, *found->second, reference);
        ++files;
        blocks += blocksIn(input.size(), blockSize);
        changed += changes->plan.changedBlocks;
        if (!changes->plan.kept.empty()) entry.blocks = std::move(changes);
    }
    if (files == 0) return;
    say("%zu changed file%s compared by blocks of %llu bytes: storing %llu of %llu blocks", files,
        files == 1 ? "" : "s", static_cast<unsigned long long>(blockSize),
        static_cast<unsigned long long>(changed), static_cast<unsigned long long>(blocks));
}

uint64_t bytesToRead(const BackupSet& set, const std::vector<const InputFile*>& read) {
    uint64_t bytes = 0;
    for (const InputFile* input : read) bytes += input->size();
    for (const SetEntry& entry : set.entries) {
        if (entry.blocks) bytes -= read[entry.read]->size() - entry.blocks->changedBytes();
    }
    return bytes;
}
