#pragma once

// A second store, opened for reading beside the one this process has open,
// for a command that reads one store and writes another (copy): the open
// store takes the writes, through the library as ever; this one is read
// through the platform's usual calls, made on a thread while a Scope of it
// lives there.

#include <memory>
#include <string>

#include "platform/local/Config.h"

namespace localplatform {

class StoreBeside {
public:
    // Opens the store that config names (configuredStoreDirectory) for
    // reading: nothing in it is made or written, its log included (the
    // lines of the calls made on it go to the open store's log). Throws
    // StoreError as openStore does: NotFound when no store is there. Any
    // thread; the store open or not.
    explicit StoreBeside(const Config& config);
    ~StoreBeside();
    StoreBeside(const StoreBeside&) = delete;
    StoreBeside& operator=(const StoreBeside&) = delete;

    // While a Scope lives, the platform's calls on the thread that made it
    // work on this store instead of the open one: its jobs and archive
    // files, their data, its manifests, settings and directory, and holds
    // on its jobs. The open store's configuration, log and current job stay.
    // Scopes nest; a Scope must end on its thread, before its StoreBeside.
    class Scope {
    public:
        explicit Scope(const StoreBeside& store);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        std::shared_ptr<void> m_before;  // the scope it replaced, if any: its store
    };

    // Its canonical directory (or URL).
    const std::string& directory() const { return m_directory; }

private:
    std::shared_ptr<void> m_store;  // the library's own Store, opaque here
    std::string m_directory;
};

}  // namespace localplatform
