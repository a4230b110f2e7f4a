#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class PartialOutputRecord;

// A file that appears at its path only when committed, whole and durable; a
// kill at any instant before that leaves nothing a user could take for it.
//
// It is written as an unnamed file in the destination's directory (O_TMPFILE)
// and linked into place at commit, so that nothing of it exists by name
// before then. Where the file system has no unnamed files, a hidden file
// ".NAME.partial-XXXXXX" beside the destination takes its place: it is
// removed whenever the program ends other than by a kill, and its name is
// recorded (see PartialOutputs.h) so that `cleanup` can remove what a kill
// left. writeAt may be called from several threads at once (for parts that
// do not overlap); everything else from one thread at a time.
class OutputFile {
public:
    struct Options {
        bool replace = false;         // an existing file at the path may be replaced
        bool namedTemporary = false;  // use the hidden named file even where O_TMPFILE works
        std::string recordDirectory;  // where a hidden file's name is recorded; empty: nowhere
        int mode = -1;                // permission bits it gets at commit, exactly (the umask
                                      // does not apply); -1: 0666 less the umask
    };

    // Throws AgentError (bad input) when the path exists and may not be
    // replaced, is a directory, or its directory cannot take the file.
    OutputFile(std::string path, Options options);
    // Without a commit, discards what was written.
    ~OutputFile();

    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Writes length bytes at offset and starts their writeback (writeAllAt).
    // Thread-safe. Throws AgentError.
    void writeAt(const void* data, std::size_t length, uint64_t offset);
    // Reads length bytes at offset back into buffer, all of them: what was
    // written there. Thread-safe. Throws AgentError (failed job).
    void readAt(void* buffer, std::size_t length, uint64_t offset) const;
    // Writes all of text at the end. Throws AgentError.
    void append(const std::string& text);
    // The SHA-256 of what was written, read back from the file. Throws
    // AgentError.
    std::string sha256() const;
    // The permission bits the file gets at commit.
    int mode() const { return m_mode; }
    // The hidden named file, where one is used; empty for an unnamed file.
    const std::string& temporaryName() const { return m_temporaryName; }
    // Makes the data durable and gives it its name; then makes the name
    // durable. Throws AgentError, leaving nothing at the path unless replace
    // was asked and the old file is still there.
    void commit();

private:
    void linkIntoPlace();

    const std::string m_path;
    const Options m_options;
    const int m_mode;
    std::string m_temporaryName;
    std::unique_ptr<PartialOutputRecord> m_record;
    int m_fd = -1;
    std::atomic<uint64_t> m_end{0};
};
