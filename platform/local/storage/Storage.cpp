// What every Storage does the same way, out of its own operations: so that
// a fault in any one of them reaches these too.

#include "platform/local/storage/Storage.h"

#include <unistd.h>

#include <cerrno>

namespace localplatform {

const char* describeKind(EntryStatus::Kind kind) {
    switch (kind) {
    case EntryStatus::Kind::Fifo: return "a FIFO";
    case EntryStatus::Kind::Directory: return "a directory";
    case EntryStatus::Kind::Device: return "a device";
    case EntryStatus::Kind::Link: return "a symbolic link";
    default: return "a special file";
    }
}

namespace {

// The name of this process's own file beside path, which a replacement or a
// placement writes first: path.new-<pid>.
std::string besideName(const std::string& path) {
    return path + ".new-" + std::to_string(::getpid());
}

}  // namespace

// Creates path exclusively holding text, synced; on a failure it is removed
// again and errno is that of the step that failed.
bool Storage::writeWhole(const std::string& path, const std::string& text,
                         const FileModes& modes) {
    std::unique_ptr<StorageFile> file = createExclusive(path, modes);
    if (!file) return false;
    if (!file->append(text.data(), text.size(), nullptr) || !file->sync()) {
        const int saved = errno;
        file.reset();
        remove(path);
        errno = saved;
        return false;
    }
    return true;
}

bool Storage::createDurably(const std::string& path, const std::string& text,
                            const FileModes& modes) {
    return writeWhole(path, text, modes) && syncDirectory(parentDirectory(path));
}

bool Storage::placeDurably(const std::string& path, const std::string& text,
                           const FileModes& modes) {
    const std::string own = besideName(path);
    if (!writeWhole(own, text, modes)) return false;
    const bool placed = link(own, path);
    const int saved = errno;
    remove(own);
    if (!placed) {
        errno = saved;
        return false;
    }
    return syncDirectory(parentDirectory(path));
}

bool Storage::replaceDurably(const std::string& path, const std::string& text,
                             const FileModes& modes) {
    const std::string fresh = besideName(path);
    if (!writeWhole(fresh, text, modes)) return false;
    if (!rename(fresh, path)) {
        const int saved = errno;
        remove(fresh);
        errno = saved;
        return false;
    }
    return syncDirectory(parentDirectory(path));
}

bool Storage::readSmallFile(const std::string& path, std::size_t maxSize, std::string* text,
                            EntryStatus* status) {
    EntryStatus found;
    std::unique_ptr<StorageFile> file = openForReading(path, &found);
    if (status) *status = found;
    if (!file) return false;
    unsigned long long size = 0;
    if (!file->size(&size)) return false;
    if (size > maxSize) {
        errno = EFBIG;
        return false;
    }
    text->assign(static_cast<std::size_t>(size), '\0');
    const ssize_t count = file->readAt(text->data(), text->size(), 0);
    if (count < 0) return false;
    text->resize(static_cast<std::size_t>(count));
    return true;
}

bool Storage::confine(const std::string&) { return true; }

std::unique_ptr<StorageFile> Storage::openForAppending(const std::string&, const FileModes&) {
    errno = ENOTSUP;
    return nullptr;
}

bool Storage::exists(const std::string& path) { return status(path, nullptr, false); }

std::string parentDirectory(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace localplatform
