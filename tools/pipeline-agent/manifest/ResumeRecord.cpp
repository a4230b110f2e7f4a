#include "manifest/ResumeRecord.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <stdexcept>

#include "base/AgentError.h"
#include "base/Console.h"
#include "platform/local/StoreSession.h"

namespace {

// A manifest of tens of millions of files stays below this.
constexpr std::size_t kMaxRecordBytes = std::size_t{1} << 30;

std::string systemWhy(const std::string& what) { return what + ": " + std::strerror(errno); }

// The directory, opened without following a link in its place; -1 with
// errno set when it cannot be.
int openDirectory(const std::string& directory) {
    return ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// The job a record's name names ("<job>.json" or "<job>.json.new"), or none.
std::optional<unsigned long long> jobOfName(const std::string& name) {
    std::string_view rest(name);
    if (rest.ends_with(".new")) rest.remove_suffix(4);
    if (!rest.ends_with(".json")) return std::nullopt;
    rest.remove_suffix(5);
    unsigned long long job = 0;
    const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), job);
    if (rest.empty() || error != std::errc() || end != rest.data() + rest.size()) {
        return std::nullopt;
    }
    return job;
}

// Closes a descriptor when it goes.
struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

std::string resumeRecordDirectory() { return localplatform::storeHostDirectory() + "/resume"; }

ResumeRecord::ResumeRecord(std::string directory, unsigned long long jobId,
                           std::chrono::steady_clock::duration every)
    : m_directory(std::move(directory)),
      m_name(std::to_string(jobId) + ".json"),
      m_every(every),
      m_next(std::chrono::steady_clock::now() + every) {}

ResumeRecord::~ResumeRecord() { drop(); }

void ResumeRecord::update(std::size_t written,
                          const std::function<Manifest(std::size_t)>& manifestOf) {
    const auto now = std::chrono::steady_clock::now();
    if (m_givenUp || written <= m_recorded || now < m_next) return;
    try {
        write(manifestText(manifestOf(written)));
        m_recorded = written;
        // A large set's record takes longer to make: the job spends at most
        // a twentieth of its time on it.
        const auto took = std::chrono::steady_clock::now() - now;
        m_next = now + std::max(m_every, took * 20);
    } catch (const std::runtime_error& error) {
        m_givenUp = true;
        say("cannot keep what the backup wrote so far in %s (%s): it cannot be resumed if it "
            "stops; it goes on",
            m_directory.c_str(), error.what());
    }
}

void ResumeRecord::write(const std::string& text) {
    if (::mkdir(m_directory.c_str(), 0700) != 0 && errno != EEXIST) {
        throw std::runtime_error(systemWhy("cannot make it"));
    }
    const Descriptor directory{openDirectory(m_directory)};
    if (directory.fd < 0) throw std::runtime_error(systemWhy("cannot open it"));
    const std::string fresh = m_name + ".new";
    const Descriptor file{::openat(directory.fd, fresh.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600)};
    if (file.fd < 0) throw std::runtime_error(systemWhy("cannot create " + fresh));
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(file.fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error(systemWhy("cannot write " + fresh));
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(file.fd) != 0) throw std::runtime_error(systemWhy("cannot sync " + fresh));
    if (::renameat(directory.fd, fresh.c_str(), directory.fd, m_name.c_str()) != 0) {
        throw std::runtime_error(systemWhy("cannot rename " + fresh));
    }
}

void ResumeRecord::drop() noexcept {
    m_givenUp = true;
    const Descriptor directory{openDirectory(m_directory)};
    if (directory.fd < 0) return;
    ::unlinkat(directory.fd, m_name.c_str(), 0);
    ::unlinkat(directory.fd, (m_name + ".new").c_str(), 0);
}

std::optional<Manifest> readResumeRecord(const std::string& directory, unsigned long long jobId) {
    const std::string path = directory + "/" + std::to_string(jobId) + ".json";
    const Descriptor place{openDirectory(directory)};
    if (place.fd < 0 && errno == ENOENT) return std::nullopt;
    if (place.fd < 0) throw badInput(systemWhy("cannot open " + directory));
    const Descriptor file{::openat(place.fd, (std::to_string(jobId) + ".json").c_str(),
                                   O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)};
    if (file.fd < 0 && errno == ENOENT) return std::nullopt;
    if (file.fd < 0) throw badInput(systemWhy("cannot open " + path));
    struct stat status;
    if (::fstat(file.fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        throw badInput(path + " is not a regular file");
    }
    if (static_cast<uint64_t>(status.st_size) > kMaxRecordBytes) {
        throw badInput(path + " is larger than any record of a backup");
    }
    std::string text(static_cast<std::size_t>(status.st_size), '\0');
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n =
            ::pread(file.fd, text.data() + done, text.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw badInput(systemWhy("cannot read " + path));
        done += static_cast<std::size_t>(n);
    }
    return parseManifest(text, path);
}

std::vector<std::string> sweepResumeRecords(const std::string& directory,
                                            const std::set<unsigned long long>& keep) {
    std::vector<std::string> removed;
    const Descriptor place{openDirectory(directory)};
    if (place.fd < 0) return removed;
    DIR* listing = ::fdopendir(::dup(place.fd));
    if (!listing) return removed;
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(listing)) {
        const std::optional<unsigned long long> job = jobOfName(entry->d_name);
        if (job && !keep.count(*job)) names.push_back(entry->d_name);
    }
    ::closedir(listing);
    for (const std::string& name : names) {
        struct stat status;
        if (::fstatat(place.fd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
            !S_ISDIR(status.st_mode) && ::unlinkat(place.fd, name.c_str(), 0) == 0) {
            removed.push_back(name);
        }
    }
    return removed;
}
