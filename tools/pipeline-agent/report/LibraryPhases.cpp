#include "report/LibraryPhases.h"

namespace {

// The stream a step names, else the next in the call's order.
unsigned long named(const localplatform::StepEvent& event, unsigned long counted) {
    return event.stream != 0 ? event.stream : counted + 1;
}

}  // namespace

LibraryPhases::LibraryPhases(StreamPhases& phases)
    : m_phases(phases), m_thread(std::this_thread::get_id()) {
    localplatform::setStepEventObserver(
        [this](const localplatform::StepEvent& event) { step(event); });
}

LibraryPhases::~LibraryPhases() { localplatform::setStepEventObserver({}); }

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
    if (name == nullptr) return;
    step(localplatform::StepEvent{localplatform::stepKindOf(name, detail), 0, name, detail});
}

void LibraryPhases::step(const localplatform::StepEvent& event) {
    if (std::this_thread::get_id() != m_thread || m_call == Call::None) return;
    using localplatform::StepKind;
    switch (m_call) {
    case Call::BackupSetUp:
        if (event.kind == StepKind::Pause && m_current != 0) moveTo(m_current, Phase::Pause);
        break;
    case Call::BackupClose:
        if (event.kind == StepKind::ArchiveFileClosed ||
            event.kind == StepKind::ArchiveFilesInvalidated) {
            m_closed = named(event, m_closed);
            moveTo(m_closed, Phase::Close);
        }
        break;
    case Call::RestoreSetUp:
        if (event.kind == StepKind::Pause) {
            moveTo(m_opened + 1, Phase::Pause);
        } else if (event.kind == StepKind::ArchiveFileOpened) {
            moveTo(++m_opened, Phase::Open);
        } else if (event.kind == StepKind::SeekSent) {
            m_sought = named(event, m_sought);
            moveTo(m_sought, Phase::Seek);
        }
        break;
    case Call::RestoreClose:
        if (event.kind == StepKind::CloseArchiveSent) {
            m_closed = named(event, m_closed);
            moveTo(m_closed, Phase::ClosingWait);
        }
        break;
    case Call::None: break;
    }
}
