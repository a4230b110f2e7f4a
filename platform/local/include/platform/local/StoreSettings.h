#pragma once

// Small text files that the open store keeps for the agent beside
// store.ini (retention.ini, say), read and written through the store's
// storage: in a directory or in object storage alike.

#include <cstddef>
#include <optional>
#include <string>

namespace localplatform {

// Writes text as the open store's settings file `name` (a plain file name),
// replacing the one before so that a reader finds the old text or the new
// one, whole: in a directory through a file of its own beside it, synced
// and renamed into place; in object storage by one PUT. Throws StoreError:
// Unusable on a read-only store or for a name with a slash, Failed when it
// cannot be written (the file before then stays as it was, and nothing of
// the new one is left but after a failed directory sync).
void keepStoreSetting(const std::string& name, const std::string& text);

// Writes text as the open store's settings file `name` when there is none,
// whole or not at all even when the process is killed on the way
// (Storage::placeDurably). False when one is there already, which is left
// as it is. Throws StoreError as keepStoreSetting.
bool placeStoreSetting(const std::string& name, const std::string& text);

// The text of the open store's settings file `name`; nullopt when there is
// none. Read without following a link or blocking. Throws StoreError
// (Failed) when it cannot be read, is not a regular file or holds more
// than maxSize bytes.
std::optional<std::string> storeSetting(const std::string& name, std::size_t maxSize);

// Where the open store's settings file `name` lies: a path, or a URL for a
// store in object storage.
std::string storeSettingPath(const std::string& name);

}  // namespace localplatform
