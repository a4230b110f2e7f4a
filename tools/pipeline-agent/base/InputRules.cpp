#include "base/InputRules.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>

#include "base/AgentError.h"
#include "base/Names.h"

namespace {

std::string directoryOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

void requireReadableFile(const std::string& path, const std::string& what) {
    requireUsablePath(path, what);
    // Non-blocking, so that a FIFO named by mistake cannot hang the check.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw badInput("cannot read " + what + " " + path + ": " + std::strerror(errno));
    struct stat info;
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    ::close(fd);
    if (!regular) throw badInput(what + " " + path + " is not a regular file");
}

std::string readRegularFile(const std::string& path, const std::string& what) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw badInput("cannot read " + what + " " + path + ": " + std::strerror(errno));
    struct stat info;
    const int flags = ::fcntl(fd, F_GETFL);
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || flags < 0 ||
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        ::close(fd);
        throw badInput(what + " " + path + " is not a regular file");
    }
    std::string text;
    char buffer[1 << 16];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            const int error = errno;
            ::close(fd);
            throw badInput("cannot read " + what + " " + path + ": " + std::strerror(error));
        }
        if (got == 0) break;
        text.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return text;
}

namespace {

// The path made absolute with every link in it resolved, as far as it
// exists; empty when it cannot be.
std::filesystem::path resolvedPlace(const std::string& path) {
    std::error_code error;
    auto resolved = std::filesystem::weakly_canonical(std::filesystem::absolute(path, error), error);
    return error ? std::filesystem::path() : resolved;
}

bool holdsStore(const std::filesystem::path& directory) {
    struct stat info;
    const auto present = [&info](const std::filesystem::path& path) {
        return ::lstat(path.c_str(), &info) == 0;
    };
    return present(directory / "store.ini") ||
           (present(directory / "catalog.db") && present(directory / "files") &&
            S_ISDIR(info.st_mode));
}

}  // namespace

void requireOutsideStores(const std::string& path, const std::string& what,
                          const std::string& storeDir) {
    const std::filesystem::path place = resolvedPlace(path);
    if (place.empty()) throw badInput("cannot resolve the " + what + " " + path);
    const std::filesystem::path store = storeDir.empty() ? std::filesystem::path()
                                                         : resolvedPlace(storeDir);
    for (std::filesystem::path up = place;; up = up.parent_path()) {
        if ((!store.empty() && up == store) || (up != place && holdsStore(up))) {
            throw badInput(what + " " + path + " lies in the archive store " + up.string() +
                           "; write it outside the store");
        }
        if (up == up.parent_path()) break;
    }
}

void requireNewFilePlace(const std::string& path, const std::string& what, bool mayReplace) {
    requireUsablePath(path, what);
    requireOutsideStores(path, what);
    struct stat info;
    if (::lstat(path.c_str(), &info) == 0) {
        // A link to a directory counts as one: it is refused here, before
        // any work, not when the output is put in place.
        struct stat target;
        if (S_ISDIR(info.st_mode) || (S_ISLNK(info.st_mode) && ::stat(path.c_str(), &target) == 0 &&
                                      S_ISDIR(target.st_mode))) {
            throw badInput(what + " " + path + " is a directory");
        }
        if (!mayReplace) throw badInput(what + " " + path + " already exists; not overwriting it");
    }
    const std::string directory = directoryOf(path);
    if (::stat(directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        throw badInput("the directory " + directory + " for " + what + " " + path +
                       " does not exist");
    }
    if (::access(directory.c_str(), W_OK | X_OK) != 0) {
        throw badInput("cannot write " + what + " " + path + " in " + directory + ": " +
                       std::strerror(errno));
    }
}

void requireLogFile(const std::string& path) {
    requireUsablePath(path, "log file");
    requireOutsideStores(path, "log file");
    // A link in the log's place is not followed.
    const int fd = ::open(path.c_str(),
                          O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) throw badInput("cannot write the log file " + path + ": " + std::strerror(errno));
    struct stat info;
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    ::close(fd);
    if (!regular) throw badInput("the log file " + path + " is not a regular file");
}

std::chrono::milliseconds parseMediaTimeout(const std::string& text) {
    const auto bad = [&text] {
        return badInput(
            "--media-timeout must be a duration from 1ms to 24h (250ms, 30s, 5m, 1h), "
            "not \"" +
            text + "\"");
    };
    unsigned long long count = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, count);
    if (error != std::errc() || stop == text.data()) throw bad();
    const std::string unit(stop, end);
    unsigned long long scale = 0;
    if (unit == "ms")
        scale = 1;
    else if (unit.empty() || unit == "s")
        scale = 1000;
    else if (unit == "m")
        scale = 60 * 1000;
    else if (unit == "h")
        scale = 60 * 60 * 1000;
    else
        throw bad();
    constexpr unsigned long long kDay = 24ULL * 60 * 60 * 1000;
    if (count == 0 || count > kDay / scale) throw bad();
    return std::chrono::milliseconds(count * scale);
}

namespace {

bool isDecimal(const std::string& text) {
    const std::size_t digits = !text.empty() && text[0] == '-' ? 1 : 0;
    if (text.size() == digits) return false;
    for (std::size_t i = digits; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
    }
    return true;
}

template <typename T>
T decimalIn(const std::string& option, const std::string& text, T min, T max) {
    const std::string range = "from " + std::to_string(min) + " to " + std::to_string(max);
    if (!isDecimal(text)) {
        throw badInput(option + " must be a decimal number " + range + ", not \"" + text + "\"");
    }
    // Out of range also when the text does not fit the type (a '-' for an
    // unsigned option, or too many digits).
    T value = 0;
    const auto [stop, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || stop != text.data() + text.size() || value < min || value > max) {
        throw badInput(option + " must be " + range + ", not " + text);
    }
    return value;
}

}  // namespace

long long parseDecimal(const std::string& option, const std::string& text, long long min,
                       long long max) {
    return decimalIn<long long>(option, text, min, max);
}

unsigned long long parseDecimalUnsigned(const std::string& option, const std::string& text,
                                        unsigned long long min, unsigned long long max) {
    return decimalIn<unsigned long long>(option, text, min, max);
}

bool samePlace(const std::string& a, const std::string& b) {
    const auto resolved = [](const std::string& path, std::error_code& error) {
        // Made absolute first: a relative path none of whose parts exists
        // would come back as it is.
        return std::filesystem::weakly_canonical(std::filesystem::absolute(path, error), error);
    };
    std::error_code error;
    const auto first = resolved(a, error);
    if (error) return a == b;
    const auto second = resolved(b, error);
    if (error) return a == b;
    return first == second;
}
