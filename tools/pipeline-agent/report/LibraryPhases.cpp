#include "report/LibraryPhases.h"

#include <cstring>

#include "platform/FsrMessages.h"
#include "platform/local/LocalPlatform.h"

LibraryPhases::LibraryPhases(StreamPhases& phases)
    : m_phases(phases), m_thread(std::this_thread::get_id()) {
    localplatform::setStepObserver(
        [this](const char* name, unsigned long detail) { step(name, detail); });
}

LibraryPhases::~LibraryPhases() { localplatform::setStepObserver({}); }

void LibraryPhases::begin(Call call, unsigned long stream) {
    callEnded();
    m_call = call;
    m_opened = m_sought = m_closed = 0;
    if (stream != 0) moveTo(stream, Phase::SetUp);
}

void LibraryPhases::backupSetUp(unsigned long stream) { begin(Call::BackupSetUp, stream); }
void LibraryPhases::backupClose() { begin(Call::BackupClose, 0); }
void LibraryPhases::restoreSetUp() { begin(Call::RestoreSetUp, 0); }
void LibraryPhases::restoreClose() { begin(Call::RestoreClose, 0); }

void LibraryPhases::callEnded() {
    if (m_current != 0) m_phases.enter(m_current, Phase::Idle);
    m_current = 0;
    m_call = Call::None;
}

void LibraryPhases::moveTo(unsigned long stream, Phase phase) {
    if (m_current != 0 && m_current != stream) m_phases.enter(m_current, Phase::Idle);
    m_current = stream;
    m_phases.enter(stream, phase);
}

void LibraryPhases::step(const char* name, unsigned long detail) {
    if (std::this_thread::get_id() != m_thread || m_call == Call::None || name == nullptr) return;
    const auto is = [name](const char* step) { return std::strcmp(name, step) == 0; };
    switch (m_call) {
    case Call::BackupSetUp:
        if (is("QISLEEP") && m_current != 0) moveTo(m_current, Phase::Pause);
        break;
    case Call::BackupClose:
        if (is("closeAfile") || is("invalidateArchFilesByJob")) moveTo(++m_closed, Phase::Close);
        break;
    case Call::RestoreSetUp:
        if (is("QISLEEP")) {
            moveTo(m_opened + 1, Phase::Pause);
        } else if (is("openArchiveFile")) {
            moveTo(++m_opened, Phase::Open);
        } else if (is("SendXDRMessage") && detail == FSR_MSG_SEEK_TO_OFFSET) {
            moveTo(++m_sought, Phase::Seek);
        }
        break;
    case Call::RestoreClose:
        if (is("SendXDRMessage") && detail == FSR_MSG_CLOSE_ARCHIVE) {
            moveTo(++m_closed, Phase::ClosingWait);
        }
        break;
    case Call::None: break;
    }
}
