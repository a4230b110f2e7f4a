#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// A file that appears at its path only when committed: it is written under a
// temporary name beside it and renamed at commit; without a commit the
// temporary file is removed.
class OutputFile {
public:
    // Throws AgentError when the path exists (unless replace) or the
    // temporary file cannot be made.
    OutputFile(std::string path, bool replace);
    ~OutputFile();

    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Writes length bytes at offset. Throws AgentError.
    void writeAt(const void* data, std::size_t length, uint64_t offset);
    // Writes all of text at the end. Throws AgentError.
    void append(const std::string& text);
    // The temporary file, for reading back what was written.
    const std::string& temporaryPath() const { return m_temporaryPath; }
    // Makes the data durable and moves it to its path. Throws AgentError.
    void commit();

private:
    std::string m_path;
    std::string m_temporaryPath;
    int m_fd;
    uint64_t m_end;
};
