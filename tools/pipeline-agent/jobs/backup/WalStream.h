#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "inputs/PipeInput.h"
#include "postgres/ClusterConnection.h"

// The WAL a base backup needs, carried in the backup's own job (--with-wal):
// a stream input of the segments from the backup's start to its stop, one
// after another, as the cluster's pg_wal holds them. A thread of its own
// writes it: once released (every data file was read), it stops the backup,
// then writes each segment. The streams read it after the files, as any
// stream input. Owner's thread for every call.
class WalStream {
public:
    // pgWal: the cluster's pg_wal directory; startWal: the backup's first
    // segment; stop: ends the backup (pg_backup_stop), on the writer's
    // thread. Throws AgentError (failed job) when its socket cannot be made.
    WalStream(std::string pgWal, std::string startWal, uint64_t segmentSize,
              std::function<BackupStop()> stop);
    // Abandons a writer that still waits or writes, and joins it.
    ~WalStream();
    WalStream(const WalStream&) = delete;
    WalStream& operator=(const WalStream&) = delete;

    // The stream input, named name; once.
    std::unique_ptr<PipeInput> input(const std::string& name);
    // Lets the writer stop the backup and write: every data file was read.
    // Any thread.
    void release();
    // Waits for the writer and returns what stopping the backup gave. Throws
    // AgentError (failed job) with the writer's failure: the backup could
    // not be stopped, or a segment could not be read whole.
    BackupStop finish();

private:
    void write();

    std::string m_pgWal;
    std::string m_startWal;
    uint64_t m_segmentSize;
    std::function<BackupStop()> m_stop;
    int m_fds[2] = {-1, -1};  // [0]: read by the streams, [1]: the writer's
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_released = false;
    bool m_abandoned = false;
    BackupStop m_stopped;
    std::string m_failure;
    std::thread m_writer;
};
