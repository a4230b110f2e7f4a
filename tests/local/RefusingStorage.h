#pragma once

// A storage for tests that does nothing: every operation fails (false or
// null). A test derives from it and overrides only what it looks at, so
// that what a wrapper passes on to it is told apart from the wrapper's own.

#include <memory>
#include <string>
#include <vector>

#include "platform/local/storage/Storage.h"

// Internal to each test file, like the storage it derives from.
namespace {

class RefusingStorage : public localplatform::Storage {
public:
    std::unique_ptr<localplatform::StorageFile> createExclusive(
        const std::string&, const localplatform::FileModes&) override {
        return nullptr;
    }
    std::unique_ptr<localplatform::StorageFile> openForReading(
        const std::string&, localplatform::EntryStatus*) override {
        return nullptr;
    }
    bool status(const std::string&, localplatform::EntryStatus*, bool) override { return false; }
    bool rename(const std::string&, const std::string&) override { return false; }
    bool link(const std::string&, const std::string&) override { return false; }
    bool remove(const std::string&) override { return false; }
    bool list(const std::string&, std::vector<std::string>*) override { return false; }
    std::unique_ptr<localplatform::StorageLock> lock(const std::string&, bool,
                                                     const localplatform::FileModes&) override {
        return nullptr;
    }
    std::unique_ptr<localplatform::StorageLock> lockShared(
        const std::string&, bool, const localplatform::FileModes&) override {
        return nullptr;
    }
    bool makeDirectory(const std::string&, const localplatform::FileModes&) override {
        return false;
    }
    bool makeParents(const std::string&) override { return false; }
    bool syncDirectory(const std::string&) override { return false; }
    bool canonical(const std::string&, std::string*) override { return false; }
    bool writable(const std::string&) override { return false; }
    bool truncate(const std::string&, unsigned long long) override { return false; }
};

}  // namespace
