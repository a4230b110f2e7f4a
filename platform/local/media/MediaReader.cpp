// Reading an archive file for the media side.

#include "platform/local/media/MediaReader.h"

#include <utility>

namespace localplatform {

namespace {

class FileReader final : public MediaReader {
public:
    explicit FileReader(std::unique_ptr<StorageFile> file) noexcept : m_file(std::move(file)) {}

    ssize_t readAt(char* data, std::size_t length, unsigned long long offset) override {
        return m_file->readAt(data, length, offset);
    }

private:
    const std::unique_ptr<StorageFile> m_file;
};

}  // namespace

std::shared_ptr<MediaReader> fileReader(std::unique_ptr<StorageFile> file) {
    return std::make_shared<FileReader>(std::move(file));
}

}  // namespace localplatform
