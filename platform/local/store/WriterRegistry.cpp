#include "platform/local/store/WriterRegistry.h"

#include "platform/local/store/ArchiveWriter.h"

namespace localplatform {

void WriterRegistry::add(const std::shared_ptr<ArchiveWriter>& writer) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const ArchiveFileRecord& record = writer->record();
    m_writers[{record.jobId, record.stream}] = writer;
    m_created[{record.jobId, record.stream}] = record;
}

void WriterRegistry::remove(const ArchiveWriter* writer) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_writers.find({writer->record().jobId, writer->record().stream});
    if (it != m_writers.end() && it->second.get() == writer) m_writers.erase(it);
}

std::shared_ptr<ArchiveWriter> WriterRegistry::find(unsigned long long jobId,
                                                    unsigned long stream) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_writers.find({jobId, stream});
    return it == m_writers.end() ? nullptr : it->second;
}

bool WriterRegistry::created(unsigned long long jobId, unsigned long stream,
                             ArchiveFileRecord* record) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_created.find({jobId, stream});
    if (it == m_created.end()) return false;
    if (record) *record = it->second;
    return true;
}

}  // namespace localplatform
