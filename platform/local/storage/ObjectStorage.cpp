// A store's bytes in an S3-compatible object store: small files as whole
// objects, archive data as multipart uploads, reads by byte range.

#include "platform/local/storage/ObjectStorage.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <deque>
#include <future>
#include <stdexcept>

namespace localplatform {

using objectstore::CompletedPart;
using objectstore::ObjectInfo;
using objectstore::S3Client;
using objectstore::S3Status;

namespace {

constexpr unsigned long long kMaxPartSize = 5ull << 30;

// errno for a failed request: ENOENT for a missing object, else EIO.
int errnoOf(const S3Status& status) { return status.notFound() ? ENOENT : EIO; }

// "123", "64KiB", "8MiB": false for anything else or 0.
bool parseSize(const std::string& text, std::size_t* size) {
    std::size_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || stop == text.data() || value == 0) return false;
    const std::string unit(stop, end);
    if (unit == "KiB") value <<= 10;
    else if (unit == "MiB") value <<= 20;
    else if (!unit.empty()) return false;
    *size = value;
    return true;
}

// An archive file's data: written by multipart upload.
bool isArchiveData(const std::string& key) {
    return key.size() > 5 && key.compare(key.size() - 5, 5, ".arch") == 0 &&
           (key.find("/files/") != std::string::npos || key.rfind("files/", 0) == 0);
}

// A small file being written: its text, stored whole at each sync.
class SmallObjectFile : public StorageFile {
public:
    SmallObjectFile(ObjectStorage& storage, std::string path, std::string key)
        : m_storage(storage), m_path(std::move(path)), m_key(std::move(key)) {}
    const std::string& path() const override { return m_path; }
    bool append(const void* data, std::size_t length, std::size_t* written) override {
        m_text.append(static_cast<const char*>(data), length);
        if (written) *written = length;
        return true;
    }
    bool sync() override {
        const S3Status status = m_storage.lease()->putObject(m_key, m_text);
        if (status) return true;
        m_storage.reportFailure(status.message);
        errno = EIO;
        return false;
    }
    ssize_t readAt(void* data, std::size_t length, unsigned long long offset) override {
        if (offset >= m_text.size()) return 0;
        const std::size_t count = std::min<std::size_t>(length, m_text.size() - offset);
        std::memcpy(data, m_text.data() + offset, count);
        return static_cast<ssize_t>(count);
    }
    bool size(unsigned long long* size) override {
        *size = m_text.size();
        return true;
    }

private:
    ObjectStorage& m_storage;
    const std::string m_path, m_key;
    std::string m_text;
};

// An object being read: by ranged GETs of at least the read-ahead, the
// bytes past what was asked kept for the next read. Several threads may
// read at once; they take turns. While a reader goes on where its last
// range ended, the ranges after it are fetched before it asks, each by a
// client of its own, so that a long read waits on no request's latency but
// the first: as many as a twelfth of what it read in order since its last
// seek (up to kRangesAhead), so that what it fetched and never read stays
// within a tenth of what it read, a range aside. A seek elsewhere drops
// them.
class ObjectReader : public StorageFile {
public:
    ObjectReader(ObjectStorage& storage, std::string path, std::string key,
                 unsigned long long size)
        : m_storage(storage), m_path(std::move(path)), m_key(std::move(key)), m_size(size) {}
    // Waits for the ranges still being fetched (each bounded by the
    // client's timeouts).
    ~ObjectReader() override = default;
    const std::string& path() const override { return m_path; }
    bool append(const void*, std::size_t, std::size_t* written) override {
        if (written) *written = 0;
        errno = EBADF;
        return false;
    }
    bool sync() override {
        errno = EBADF;
        return false;
    }
    ssize_t readAt(void* data, std::size_t length, unsigned long long offset) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (offset >= m_size || length == 0) return 0;
        length = static_cast<std::size_t>(std::min<unsigned long long>(length, m_size - offset));
        // What the last range holds is served from it, if only its end.
        const unsigned long long end = m_bufferOffset + m_buffer.size();
        if (offset < m_bufferOffset || offset >= end) {
            if (m_buffer.empty() || offset != end) m_seekOffset = offset;
            // The range at offset: fetched ahead, or asked for now.
            while (!m_ahead.empty() && m_ahead.front().offset != offset) m_ahead.pop_front();
            if (m_ahead.empty()) fetch(offset, std::max<std::size_t>(length, m_storage.settings().readAhead));
            Fetched fetched = m_ahead.front().bytes.get();
            m_ahead.pop_front();
            if (!fetched.status || fetched.bytes.empty()) {
                m_ahead.clear();
                m_buffer.clear();
                m_storage.reportFailure(fetched.status ? "an empty range of " + m_key
                                                       : fetched.status.message);
                errno = fetched.status ? EIO : errnoOf(fetched.status);
                return -1;
            }
            m_buffer = std::move(fetched.bytes);
            m_bufferOffset = offset;
            // What follows, as many ranges ahead as the read in order earned.
            const std::size_t readAhead = m_storage.settings().readAhead;
            const std::size_t wanted = static_cast<std::size_t>(std::min<unsigned long long>(
                kRangesAhead, (offset + m_buffer.size() - m_seekOffset) / (12ull * readAhead)));
            unsigned long long next = m_ahead.empty() ? offset + m_buffer.size()
                                                      : m_ahead.back().offset + m_ahead.back().length;
            while (m_ahead.size() < wanted && next < m_size) {
                fetch(next, readAhead);
                next += m_ahead.back().length;
            }
        }
        const std::size_t from = static_cast<std::size_t>(offset - m_bufferOffset);
        const std::size_t count = std::min(length, m_buffer.size() - from);
        std::memcpy(data, m_buffer.data() + from, count);
        return static_cast<ssize_t>(count);
    }
    bool size(unsigned long long* size) override {
        *size = m_size;
        return true;
    }

private:
    // Two: with ranges of 4 MiB, four ahead took more memory and no less time.
    static constexpr std::size_t kRangesAhead = 2;
    struct Fetched {
        S3Status status;
        std::string bytes;
    };
    struct Range {
        unsigned long long offset;
        std::size_t length;
        std::future<Fetched> bytes;
    };

    // Starts fetching up to length bytes at offset (not past the end).
    void fetch(unsigned long long offset, std::size_t length) {
        length = static_cast<std::size_t>(std::min<unsigned long long>(length, m_size - offset));
        ObjectStorage& storage = m_storage;
        const std::string& key = m_key;
        m_ahead.push_back({offset, length, std::async(std::launch::async, [&storage, &key, offset, length] {
                               Fetched fetched;
                               fetched.status = storage.lease()->getObjectRange(key, offset, length,
                                                                                fetched.bytes);
                               return fetched;
                           })});
    }

    ObjectStorage& m_storage;
    const std::string m_path, m_key;
    const unsigned long long m_size;
    std::mutex m_mutex;
    std::string m_buffer;
    unsigned long long m_bufferOffset = 0;
    unsigned long long m_seekOffset = 0;  // where the read in order began
    std::deque<Range> m_ahead;  // declared last: destroyed (waited for) first
};

// Archive data: one multipart upload, begun with the first full part. The
// writer serialises append, sync and finish.
class MultipartFile : public StorageFile {
public:
    MultipartFile(ObjectStorage& storage, std::string path, std::string key)
        : m_storage(storage), m_path(std::move(path)), m_key(std::move(key)) {}
    ~MultipartFile() override {
        if (!m_uploadId.empty() && !m_finished) abort();
    }
    const std::string& path() const override { return m_path; }

    bool append(const void* data, std::size_t length, std::size_t* written) override {
        if (written) *written = 0;
        if (m_failed || m_finished) {
            errno = m_failed ? EIO : EBADF;
            return false;
        }
        // Room for the part being filled and this append, made once rather
        // than doubled as it fills: the stream's memory is one part.
        const std::size_t room = partSizeFor(m_storage.settings(), nextPart()) + length;
        if (m_pending.capacity() < room && m_pending.size() + length > m_pending.capacity()) {
            m_pending.reserve(room);
        }
        m_pending.append(static_cast<const char*>(data), length);
        m_written += length;
        while (m_pending.size() >= partSizeFor(m_storage.settings(), nextPart())) {
            if (!sendPart(partSizeFor(m_storage.settings(), nextPart()))) return false;
        }
        if (written) *written = length;
        return true;
    }
    // The parts so far are uploaded (a full part is sent as soon as it is
    // full); the bytes of the part begun wait for finish.
    bool sync() override {
        if (m_failed) errno = EIO;
        return !m_failed;
    }
    bool finish() override {
        if (m_finished) return true;
        if (m_failed) {
            errno = EIO;
            return false;
        }
        // The last part may be short; an empty object has one empty part.
        if (!m_pending.empty() || m_parts.empty()) {
            if (!sendPart(m_pending.size())) return false;
        }
        const S3Status completed = m_storage.lease()->completeMultipartUpload(m_key, m_uploadId, m_parts);
        if (!completed) return fail(completed.message);
        ObjectInfo info;
        const S3Status looked = m_storage.lease()->headObject(m_key, info);
        if (!looked || info.size != m_written) {
            // The object is not what was written: nobody may take it for
            // the archive file.
            const std::string why =
                looked ? "the completed object s3://" + m_storage.settings().bucket + "/" +
                             m_key + " holds " + std::to_string(info.size) + " bytes, not the " +
                             std::to_string(m_written) + " written; removed"
                       : looked.message;
            m_storage.lease()->deleteObject(m_key);
            m_uploadId.clear();
            return fail(why);
        }
        m_finished = true;
        return true;
    }
    ssize_t readAt(void*, std::size_t, unsigned long long) override {
        errno = EBADF;
        return -1;
    }
    bool size(unsigned long long* size) override {
        *size = m_written;
        return true;
    }

private:
    int nextPart() const { return static_cast<int>(m_parts.size()) + 1; }

    // Sends the first count pending bytes as the next part, beginning the
    // upload first when none is.
    bool sendPart(std::size_t count) {
        const int number = nextPart();
        if (number > m_storage.settings().partLimit) {
            return fail("s3://" + m_storage.settings().bucket + "/" + m_key + " would need more than " +
                        std::to_string(m_storage.settings().partLimit) + " parts");
        }
        if (m_uploadId.empty()) {
            const S3Status begun = m_storage.lease()->createMultipartUpload(m_key, m_uploadId);
            if (!begun) return fail(begun.message);
        }
        CompletedPart part;
        part.partNumber = number;
        part.size = count;
        const S3Status sent = m_storage.lease()->uploadPart(m_key, m_uploadId, number,
                                                   std::string_view(m_pending).substr(0, count),
                                                   part.etag);
        if (!sent) return fail(sent.message);
        m_parts.push_back(part);
        m_pending.erase(0, count);
        return true;
    }
    // Reports why, aborts the upload and fails every later call.
    bool fail(const std::string& why) {
        m_storage.reportFailure(why);
        m_failed = true;
        abort();
        errno = EIO;
        return false;
    }
    void abort() {
        if (m_uploadId.empty()) return;
        const S3Status aborted = m_storage.lease()->abortMultipartUpload(m_key, m_uploadId);
        if (!aborted) m_storage.reportFailure(aborted.message);
        m_uploadId.clear();
    }

    ObjectStorage& m_storage;
    const std::string m_path, m_key;
    std::string m_uploadId;
    std::vector<CompletedPart> m_parts;
    std::string m_pending;  // the bytes of the part begun
    unsigned long long m_written = 0;
    bool m_failed = false;
    bool m_finished = false;
};

}  // namespace

std::string ObjectStoreSettings::root() const {
    std::string path = "s3://" + bucket;
    if (!prefix.empty()) path += "/" + prefix.substr(0, prefix.size() - 1);
    return path;
}


bool parseObjectStoreUrl(const std::string& url, ObjectStoreSettings* settings, std::string* why,
                         const objectstore::EnvLookup& env) {
    ObjectStoreSettings made;
    const auto question = url.find('?');
    const std::string place = url.substr(0, question);
    if (!objectstore::parseS3Url(place, made.bucket, made.prefix) ||
        made.bucket.find_first_of("?#& ") != std::string::npos ||
        made.prefix.find("//") != std::string::npos || made.prefix.rfind('/', 0) == 0 ||
        made.prefix.find("..") != std::string::npos) {
        *why = "the store " + url + " is not s3://BUCKET[/PREFIX]";
        return false;
    }
    std::string options = question == std::string::npos ? "" : url.substr(question + 1);
    while (!options.empty()) {
        const auto amp = options.find('&');
        const std::string option = options.substr(0, amp);
        options = amp == std::string::npos ? "" : options.substr(amp + 1);
        const auto equals = option.find('=');
        const std::string name = option.substr(0, equals);
        const std::string value = equals == std::string::npos ? "" : option.substr(equals + 1);
        std::size_t number = 0;
        bool good = true;
        if (name == "endpoint") made.s3.endpoint = value;
        else if (name == "region") made.s3.region = value;
        else if (name == "path_style" && (value == "0" || value == "1")) made.s3.pathStyle = value == "1";
        else if (name == "part_limit" && parseSize(value, &number) && number <= 10000 && number >= 10)
            made.partLimit = static_cast<int>(number);
        else if (name == "part_size" && parseSize(value, &number) && number <= kMaxPartSize)
            made.partSize = number;
        else if (name == "read_ahead" && parseSize(value, &number) && number <= (1u << 30))
            made.readAhead = number;
        else good = false;
        if (!good || value.empty()) {
            *why = "the store " + place + " has an unusable option \"" + option +
                   "\" (endpoint=, region=, path_style=0|1, part_limit=10..10000, part_size=, "
                   "read_ahead=)";
            return false;
        }
    }
    try {
        made.s3 = objectstore::resolveOptions(made.s3, env);
    } catch (const std::invalid_argument& error) {
        *why = error.what();
        return false;
    }
    std::string error;
    if (!objectstore::loadCredentials(made.credentials, error, env)) {
        *why = "no credentials for the store " + place + ": " + error;
        return false;
    }
    *settings = std::move(made);
    return true;
}

std::size_t partSizeFor(const ObjectStoreSettings& settings, int part) {
    const int step = std::max(1, settings.partLimit / 10);
    const int doublings = std::min(30, (std::max(part, 1) - 1) / step);
    const unsigned long long size =
        static_cast<unsigned long long>(settings.partSize) << doublings;
    return static_cast<std::size_t>(std::min(size, kMaxPartSize));
}

ObjectStorage::ObjectStorage(ObjectStoreSettings settings,
                             std::function<void(const std::string&)> report,
                             ObjectClientFactory factory)
    : m_settings(std::move(settings)), m_report(std::move(report)), m_factory(std::move(factory)) {}

ObjectStorage::~ObjectStorage() = default;

ObjectStorage::Lease ObjectStorage::lease() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_idle.empty()) {
            auto client = std::move(m_idle.back());
            m_idle.pop_back();
            return Lease(*this, std::move(client));
        }
    }
    if (m_factory) return Lease(*this, m_factory());
    return Lease(*this, std::make_unique<S3Client>(m_settings.bucket, m_settings.credentials,
                                                   m_settings.s3));
}

void ObjectStorage::giveBack(std::unique_ptr<S3Client> client) {
    std::lock_guard<std::mutex> lock(m_mutex);
    // A few kept for reuse; more threads than that make their own.
    if (m_idle.size() < 8) m_idle.push_back(std::move(client));
}

void ObjectStorage::reportFailure(const std::string& line) const {
    if (m_report) m_report(line);
}

bool ObjectStorage::keyOf(const std::string& path, std::string* key) const {
    const std::string root = m_settings.root();
    std::string rest;
    if (path == root || path == root + "/") {
        rest.clear();
    } else if (path.rfind(root + "/", 0) == 0) {
        rest = path.substr(root.size() + 1);
        while (!rest.empty() && rest.back() == '/') rest.pop_back();
        if (rest.find("//") != std::string::npos || rest == ".." || rest.rfind("../", 0) == 0 ||
            rest.find("/../") != std::string::npos) {
            errno = EINVAL;
            return false;
        }
    } else {
        errno = EINVAL;
        return false;
    }
    std::string full = m_settings.prefix + rest;
    while (!full.empty() && full.back() == '/') full.pop_back();
    *key = full;
    return true;
}

namespace {

std::string under(const std::string& key) { return key.empty() ? key : key + "/"; }

}  // namespace

std::unique_ptr<StorageFile> ObjectStorage::createExclusive(const std::string& path,
                                                            const FileModes&) {
    std::string key;
    if (!keyOf(path, &key)) return nullptr;
    // Archive data comes into being only when its upload completes.
    if (isArchiveData(key)) {
        auto client = lease();
        if (!absent(client, key)) return nullptr;
        return std::make_unique<MultipartFile>(*this, path, key);
    }
    if (!putNew(key, "")) return nullptr;
    return std::make_unique<SmallObjectFile>(*this, path, key);
}

bool ObjectStorage::absent(Lease& client, const std::string& key) {
    ObjectInfo info;
    const S3Status looked = client->headObject(key, info);
    if (looked) {
        errno = EEXIST;
        return false;
    }
    if (!looked.notFound()) {
        reportFailure(looked.message);
        errno = EIO;
        return false;
    }
    return true;
}

bool ObjectStorage::putNew(const std::string& key, const std::string& text) {
    auto client = lease();
    if (!absent(client, key)) return false;
    S3Status made;
    if (m_conditionalPut.load()) {
        made = client->putObjectIfAbsent(key, text);
        if (!made && made.s3Code == "NotImplemented") {
            // Swift's s3api, say: the HEAD above is all the exclusion there is.
            m_conditionalPut.store(false);
        }
    }
    if (!m_conditionalPut.load()) made = client->putObject(key, text);
    if (!made) {
        if (made.httpStatus == 412) {
            errno = EEXIST;
            return false;
        }
        reportFailure(made.message);
        errno = EIO;
        return false;
    }
    return true;
}

std::unique_ptr<StorageFile> ObjectStorage::openForReading(const std::string& path,
                                                           EntryStatus* status) {
    std::string key;
    if (!keyOf(path, &key)) return nullptr;
    EntryStatus found;
    if (!this->status(path, &found)) return nullptr;
    if (status) *status = found;
    if (found.kind != EntryStatus::Kind::Regular) {
        errno = EINVAL;
        return nullptr;
    }
    return std::make_unique<ObjectReader>(*this, path, key, found.size);
}

bool ObjectStorage::status(const std::string& path, EntryStatus* status, bool) {
    std::string key;
    if (!keyOf(path, &key)) return false;
    EntryStatus found;
    found.permissions = 0600;
    bool directory = key.empty() || key + "/" == m_settings.prefix;
    if (!directory) {
        auto client = lease();
        ObjectInfo info;
        const S3Status looked = client->headObject(key, info);
        if (looked) {
            found.kind = EntryStatus::Kind::Regular;
            found.size = info.size;
            if (status) *status = found;
            return true;
        }
        if (!looked.notFound()) {
            reportFailure(looked.message);
            errno = EIO;
            return false;
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            directory = m_madeDirectories.count(key) > 0;
        }
        if (!directory) {
            bool any = false;
            const S3Status listed = client->anyObjectUnder(key + "/", any);
            if (!listed) {
                reportFailure(listed.message);
                errno = EIO;
                return false;
            }
            directory = any;
        }
    }
    if (!directory) {
        errno = ENOENT;
        return false;
    }
    found.kind = EntryStatus::Kind::Directory;
    found.permissions = 0700;
    if (status) *status = found;
    return true;
}

bool ObjectStorage::rename(const std::string&, const std::string&) {
    // Objects cannot be renamed in one step; nothing here needs it.
    errno = ENOTSUP;
    return false;
}

bool ObjectStorage::link(const std::string& from, const std::string& to) {
    std::string text;
    if (!readSmallFile(from, 1u << 20, &text)) return false;
    std::string key;
    if (!keyOf(to, &key)) return false;
    return putNew(key, text);
}

bool ObjectStorage::smallFileKey(const std::string& path, std::string* key) {
    if (!keyOf(path, key)) return false;
    if (isArchiveData(*key)) {
        // Archive data is written once, by its upload, and never replaced.
        errno = EINVAL;
        return false;
    }
    return true;
}

bool ObjectStorage::replaceDurably(const std::string& path, const std::string& text,
                                   const FileModes&) {
    std::string key;
    if (!smallFileKey(path, &key)) return false;
    const S3Status put = lease()->putObject(key, text);
    if (put) return true;
    reportFailure(put.message);
    errno = EIO;
    return false;
}

bool ObjectStorage::placeDurably(const std::string& path, const std::string& text,
                                 const FileModes&) {
    std::string key;
    return smallFileKey(path, &key) && putNew(key, text);
}

bool ObjectStorage::remove(const std::string& path) {
    std::string key;
    if (!keyOf(path, &key)) return false;
    EntryStatus found;
    if (!status(path, &found)) return false;
    if (found.kind == EntryStatus::Kind::Directory) {
        errno = EISDIR;
        return false;
    }
    const S3Status removed = lease()->deleteObject(key);
    if (removed) return true;
    reportFailure(removed.message);
    errno = errnoOf(removed);
    return false;
}

bool ObjectStorage::list(const std::string& path, std::vector<std::string>* names) {
    std::string key;
    if (!keyOf(path, &key)) return false;
    std::vector<ObjectInfo> objects;
    const std::string prefix = under(key);
    const S3Status listed = lease()->listObjects(prefix, objects);
    if (!listed) {
        reportFailure(listed.message);
        errno = EIO;
        return false;
    }
    names->clear();
    std::set<std::string> seen;
    for (const ObjectInfo& object : objects) {
        const std::string rest = object.key.substr(prefix.size());
        const std::string name = rest.substr(0, rest.find('/'));
        if (!name.empty() && seen.insert(name).second) names->push_back(name);
    }
    return true;
}

std::unique_ptr<StorageLock> ObjectStorage::lock(const std::string&, bool, const FileModes&) {
    // A store in object storage keeps its job locks in PostgreSQL.
    errno = ENOTSUP;
    return nullptr;
}

std::unique_ptr<StorageLock> ObjectStorage::lockShared(const std::string&, bool,
                                                       const FileModes&) {
    errno = ENOTSUP;
    return nullptr;
}

bool ObjectStorage::makeDirectory(const std::string& path, const FileModes&) {
    std::string key;
    if (!keyOf(path, &key)) return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_madeDirectories.insert(key);
    return true;
}

bool ObjectStorage::makeParents(const std::string& path) {
    std::string key;
    return keyOf(path, &key);
}

bool ObjectStorage::syncDirectory(const std::string& path) {
    // A stored object is listed at once; there is no directory to sync.
    std::string key;
    return keyOf(path, &key);
}

bool ObjectStorage::canonical(const std::string& path, std::string* resolved) {
    std::string key;
    if (!keyOf(path, &key)) return false;
    const std::string root = m_settings.root();
    *resolved = key.size() + 1 <= m_settings.prefix.size()
                    ? root
                    : root + "/" + key.substr(m_settings.prefix.size());
    return true;
}

bool ObjectStorage::writable(const std::string& path) {
    // Known only by writing; the first request that is refused says so.
    std::string key;
    return keyOf(path, &key);
}

bool ObjectStorage::truncate(const std::string&, unsigned long long) {
    errno = ENOTSUP;
    return false;
}

std::vector<PendingWrite> ObjectStorage::pendingWrites(const std::string& directory) {
    std::string key;
    if (!keyOf(directory, &key)) return {};
    std::vector<objectstore::UploadInfo> uploads;
    const S3Status listed = lease()->listMultipartUploads(under(key), uploads);
    if (!listed) {
        reportFailure(listed.message);
        errno = EIO;
        return {};
    }
    std::vector<PendingWrite> writes;
    for (const auto& upload : uploads) {
        if (upload.key.rfind(m_settings.prefix, 0) != 0) continue;
        writes.push_back(
            {m_settings.root() + "/" + upload.key.substr(m_settings.prefix.size()), upload.uploadId});
    }
    errno = 0;
    return writes;
}

bool ObjectStorage::abandonPendingWrite(const PendingWrite& write) {
    std::string key;
    if (!keyOf(write.path, &key)) return false;
    const S3Status aborted = lease()->abortMultipartUpload(key, write.id);
    if (aborted) return true;
    reportFailure(aborted.message);
    errno = errnoOf(aborted);
    return false;
}

}  // namespace localplatform
