// Liveness of a PostgreSQL store's jobs across hosts: a writer holds a
// session advisory lock for its job on a connection of its own for as long
// as it writes. When its process dies the connection closes and the server
// releases the lock at once; when its host dies, the server notices the
// dead connection by TCP keepalive (set short on that session below) and
// releases it then. Whoever takes the lock knows the writer is gone.
//
// The lock's key is one 64-bit value mixed from the store's Trellan id and
// the job id, so that stores sharing a database do not meet; the catalog's
// write lock uses the two-key form, which never meets the one-key form.

#include <unistd.h>

#include "platform/local/Config.h"
#include "platform/local/StoreSession.h"
#include "platform/local/base/Diagnostics.h"
#include "platform/local/base/Format.h"
#include "platform/local/catalog/CatalogBackend.h"
#include "platform/local/catalog/PostgresConnection.h"

namespace localplatform {

namespace {

uint64_t mixed(uint64_t value) {
    value += 0x9E3779B97F4A7C15ULL;
    value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ULL;
    value = (value ^ (value >> 27)) * 0x94D049BB133111EBULL;
    return value ^ (value >> 31);
}

std::string lockKey(uint32_t trellanId, unsigned long long jobId) {
    return std::to_string(static_cast<long long>(mixed(mixed(trellanId) ^ jobId)));
}

// What pg_stat_activity shows for a writer's session: its job and host.
std::string sessionName(unsigned long long jobId) {
    std::string host = configuration().physicalMachine;
    if (host.empty()) {
        char name[256] = {};
        host = ::gethostname(name, sizeof name - 1) == 0 ? name : "localhost";
    }
    return formatText("pipelinesetup job %llu on %s", jobId, host.c_str()).substr(0, 63);
}

std::string whatOf(const CatalogPlace& place) {
    return "the PostgreSQL catalog of " + place.storeDir;
}

// The writer's lock: its connection, which holds it until it closes.
class WriterLock : public JobLock {
public:
    explicit WriterLock(std::unique_ptr<PgConnection> db) : m_db(std::move(db)) {}
    bool intact() override { return m_db->alive(); }

private:
    std::unique_ptr<PgConnection> m_db;
};

// A lock taken on the prober's connection, given back when done.
class ProbeLock : public JobLock {
public:
    ProbeLock(PgConnection& db, std::string key, bool shared = false)
        : m_db(db), m_key(std::move(key)), m_shared(shared) {}
    ~ProbeLock() override {
        m_db.tryRun(m_shared ? "SELECT pg_advisory_unlock_shared($1::bigint)"
                             : "SELECT pg_advisory_unlock($1::bigint)",
                    {m_key});
    }
    ProbeLock(const ProbeLock&) = delete;
    ProbeLock& operator=(const ProbeLock&) = delete;
    bool intact() override { return m_db.alive(); }

private:
    PgConnection& m_db;
    const std::string m_key;
    const bool m_shared;
};

bool tryLock(PgConnection& db, const std::string& key) {
    return db.run("SELECT pg_try_advisory_lock($1::bigint)", {key}).text(0, 0) == "t";
}

bool tryLockShared(PgConnection& db, const std::string& key) {
    return db.run("SELECT pg_try_advisory_lock_shared($1::bigint)", {key}).text(0, 0) == "t";
}

class PostgresLiveness : public JobLiveness {
public:
    explicit PostgresLiveness(const CatalogPlace& place) : m_place(place) {}

    std::unique_ptr<JobLock> holdForWriting(unsigned long long jobId) override {
        auto db = std::make_unique<PgConnection>(m_place.connection, whatOf(m_place));
        // An idle session that the server ends would lose the lock; a dead
        // host's session should end within a minute or so.
        db->run(
            "SET idle_session_timeout = 0; SET idle_in_transaction_session_timeout = 0; "
            "SET tcp_keepalives_idle = 20; SET tcp_keepalives_interval = 5; "
            "SET tcp_keepalives_count = 4");
        db->run("SELECT set_config('application_name', $1, false)", {sessionName(jobId)});
        if (!tryLock(*db, lockKey(m_place.trellanId, jobId))) return nullptr;
        return std::make_unique<WriterLock>(std::move(db));
    }

    std::unique_ptr<JobLock> probe(unsigned long long jobId) override {
        PgConnection& db = connection();
        const std::string key = lockKey(m_place.trellanId, jobId);
        if (!tryLock(db, key)) return nullptr;
        return std::make_unique<ProbeLock>(db, key);
    }

    std::unique_ptr<JobLock> holdForReading(unsigned long long jobId) override {
        PgConnection& db = connection();
        const std::string key = lockKey(m_place.trellanId, jobId);
        if (!tryLockShared(db, key)) return nullptr;
        return std::make_unique<ProbeLock>(db, key, true);
    }

    std::unique_ptr<JobLock> holdForDeleting(unsigned long long jobId) override {
        return probe(jobId);
    }

    // The jobs that may have a writer (running or failed in the catalog)
    // whose lock is held; a reader's or a deleter's hold is no writer.
    std::vector<unsigned long long> liveJobs() override {
        std::vector<CatalogJob> jobs;
        try {
            jobs = openPostgresCatalog(m_place, Access::ReadOnly)->jobs();
        } catch (const StoreError& error) {
            // A schema too damaged to list its jobs names none to wait for.
            if (error.kind() == StoreError::Kind::Unreachable) throw;
        }
        std::vector<unsigned long long> live;
        for (const CatalogJob& job : jobs) {
            const bool mayWrite = job.state == "running" || job.state == "failed";
            if (mayWrite && !probe(job.jobId)) live.push_back(job.jobId);
        }
        return live;
    }

private:
    PgConnection& connection() {
        if (!m_db) m_db = std::make_unique<PgConnection>(m_place.connection, whatOf(m_place));
        return *m_db;
    }

    const CatalogPlace m_place;
    std::unique_ptr<PgConnection> m_db;
};

}  // namespace

std::unique_ptr<JobLiveness> openPostgresLiveness(const CatalogPlace& place) {
    return std::make_unique<PostgresLiveness>(place);
}

}  // namespace localplatform
