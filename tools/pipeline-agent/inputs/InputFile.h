#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// A file to back up, open for reading, with its size and permission bits as
// they were when it was opened. readAt may be called from any thread.
class InputFile {
public:
    // Throws AgentError (bad input) when the file cannot be opened or is not
    // a regular file.
    explicit InputFile(const std::string& path);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    const std::string& path() const { return m_path; }
    uint64_t size() const { return m_size; }
    int mode() const { return m_mode; }

    // Reads exactly length bytes at offset. Throws AgentError (failed job)
    // when it cannot, a file that shrank included.
    void readAt(char* data, std::size_t length, uint64_t offset) const;

private:
    std::string m_path;
    int m_fd;
    uint64_t m_size;
    int m_mode;
};
