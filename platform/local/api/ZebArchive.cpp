// The life of a local archive object: made for one side, backup or
// restore, and destroyed with whatever it still holds.

#include "platform/ZebArchive.h"

#include "platform/local/StepHooks.h"
#include "platform/local/api/ArchiveObject.h"

ZebArchive::ZebArchive(ZebJobCtrlClient*, bool, const char*)
    : m_impl(new Impl(Impl::Side::Backup)) {
    localplatform::crashPoint("ZebArchive");
}

ZebArchive::ZebArchive(long long, ZebJobCtrlClient*, bool, const char*)
    : m_impl(new Impl(Impl::Side::Restore)) {
    localplatform::crashPoint("ZebArchive");
}

// Never touches the catalog: a file still being written stays "writing",
// which is how the catalog shows a job that did not finish.
ZebArchive::~ZebArchive() {
    localplatform::crashPoint("~ZebArchive");
    if (const auto& writer = m_impl->writer) {
        m_impl->store->writers().remove(writer.get());
        writer->release();
    }
    // Ends the media side without waiting for its worker, which may be stuck.
    if (m_impl->media) m_impl->media->end("its archive object was destroyed");
    m_impl->sessionHeads.clear();
    delete m_impl;
}
