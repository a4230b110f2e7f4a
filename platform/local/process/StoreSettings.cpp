// The store's settings files beside store.ini: replaced whole, read whole.

#include "platform/local/StoreSettings.h"

#include <cerrno>

#include "platform/local/Config.h"
#include "platform/local/base/Format.h"
#include "platform/local/process/Context.h"
#include "platform/local/store/Store.h"

namespace localplatform {

namespace {

void requirePlainName(const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") {
        throw StoreError(StoreError::Kind::Unusable,
                         "\"" + name + "\" is no name of a store's settings file");
    }
}

}  // namespace

std::string storeSettingPath(const std::string& name) {
    requirePlainName(name);
    return openedStore()->directory() + "/" + name;
}

void keepStoreSetting(const std::string& name, const std::string& text) {
    const auto store = openedStore();
    store->requireWritable("keepStoreSetting");
    const std::string path = storeSettingPath(name);
    if (!store->storage().replaceDurably(path, text, store->modes())) {
        throw StoreError(StoreError::Kind::Failed, systemError("cannot write", path));
    }
}

bool placeStoreSetting(const std::string& name, const std::string& text) {
    const auto store = openedStore();
    store->requireWritable("placeStoreSetting");
    const std::string path = storeSettingPath(name);
    if (store->storage().placeDurably(path, text, store->modes())) return true;
    if (errno == EEXIST) return false;
    throw StoreError(StoreError::Kind::Failed, systemError("cannot write", path));
}

std::optional<std::string> storeSetting(const std::string& name, std::size_t maxSize) {
    const auto store = openedStore();
    const std::string path = storeSettingPath(name);
    std::string text;
    EntryStatus status;
    if (store->storage().readSmallFile(path, maxSize, &text, &status)) return text;
    if (errno == ENOENT) return std::nullopt;
    if (errno == EFBIG) {
        throw StoreError(StoreError::Kind::Failed,
                         formatText("%s holds more than %zu bytes", path.c_str(), maxSize));
    }
    if (errno == ELOOP) {
        throw StoreError(StoreError::Kind::Failed, path + " is a symbolic link, not a file");
    }
    if (errno == EINVAL) {
        throw StoreError(StoreError::Kind::Failed,
                         path + " is " + describeKind(status.kind) + ", not a file");
    }
    throw StoreError(StoreError::Kind::Failed, systemError("cannot read", path));
}

}  // namespace localplatform
