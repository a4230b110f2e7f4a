#pragma once

#include <string>

// The one pusher of a store on this host: whoever holds it archives every
// WAL file that is ready, as one job; another wal-push waits for its file
// to be archived instead of starting a job of its own. An flock on
// <store's host directory>/wal-push.lock, released when the holder ends or
// dies. Not shared between threads.
class PusherLock {
public:
    // Tries to take the lock of the open store's host directory without
    // waiting. Throws AgentError (failed job) when its file cannot be made.
    explicit PusherLock(const std::string& hostDirectory);
    ~PusherLock();
    PusherLock(const PusherLock&) = delete;
    PusherLock& operator=(const PusherLock&) = delete;

    bool held() const { return m_held; }
    // Tries again, without waiting; true once held.
    bool retake();

private:
    int m_fd = -1;
    bool m_held = false;
};
