// The catalog in PostgreSQL, for a store whose agents run on several hosts:
// one schema per store, pipelinesetup_store_<Trellan id>, in the database
// that store.ini's connection string names, so that stores can share a
// database. The program creates and migrates the schema itself; the
// schema_version table says which of the migrations below it has had.
//
// Write transactions take a transaction-scoped advisory lock on the store
// (the pair (Trellan id, 0)) first, so that they run one at a time across
// every agent, as SQLite's BEGIN IMMEDIATE does on one host: what a
// transaction reads stays true until it commits. Archive file ids are
// allocated inside those transactions: above every id the catalog holds and
// above its high-water mark (the store table's afile_high_water, raised by
// every entry and never lowered, as SQLite's AUTOINCREMENT does), so that an
// id of a removed file is never given again; after a catalog restored from
// an older dump, creation skips the ids whose files exist in files/ already.

#include <climits>

#include "platform/local/ArchiveFiles.h"
#include "platform/local/Config.h"
#include "platform/local/Interruption.h"
#include "platform/local/StepHooks.h"
#include "platform/local/base/Diagnostics.h"
#include "platform/local/base/Format.h"
#include "platform/local/catalog/CatalogBackend.h"
#include "platform/local/catalog/PostgresConnection.h"

namespace localplatform {

namespace {

// The migrations, in order: migration k makes a version k - 1 schema a
// version k one.
const char* const kMigrations[] = {
    R"(
CREATE TABLE store(key text PRIMARY KEY, value text NOT NULL);
CREATE TABLE archive_files(
  afile_id bigint PRIMARY KEY CHECK(afile_id BETWEEN 1 AND 4294967295),
  trellan_id bigint NOT NULL,
  group_number bigint NOT NULL,
  job_id bigint NOT NULL,
  stream bigint NOT NULL,
  state text NOT NULL CHECK(state IN ('writing','closed','invalidated')),
  size bigint NOT NULL DEFAULT 0,
  path text NOT NULL,
  type_code bigint,
  data_type bigint,
  setup_text text,
  create_text text,
  created_at text NOT NULL,
  updated_at text NOT NULL,
  sha256 text NOT NULL DEFAULT '');
CREATE INDEX archive_files_by_stream ON archive_files(job_id, stream);
CREATE TABLE jobs(
  job_id bigint PRIMARY KEY,
  state text NOT NULL CONSTRAINT jobs_state_check
    CHECK(state IN ('running','complete','failed','deleting','damaged')),
  created_at text NOT NULL,
  updated_at text NOT NULL);
)",
};
constexpr int kSchemaVersion = static_cast<int>(sizeof kMigrations / sizeof kMigrations[0]);

// UTC, ISO 8601, with milliseconds, as the SQLite catalog writes them.
#define CATALOG_NOW \
    "to_char(clock_timestamp() AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')"

std::string number(unsigned long long value) {
    return std::to_string(static_cast<long long>(value));  // same bits, as SQLite keeps them
}

std::string schemaOf(const CatalogPlace& place) {
    return "pipelinesetup_store_" + std::to_string(place.trellanId);
}

std::string whatOf(const CatalogPlace& place) {
    return "the PostgreSQL catalog " + schemaOf(place) + " of " + place.storeDir;
}

constexpr const char* kRecordColumns =
    "SELECT trellan_id, group_number, afile_id, job_id, stream, state, size, path, created_at, "
    "updated_at, sha256 FROM archive_files ";

class PostgresCatalog : public CatalogBackend {
public:
    // The store's catalog in the schema named schema (the store's own, or
    // the one a rebuild makes beside it).
    PostgresCatalog(const CatalogPlace& place, Access access, const std::string& schema)
        : m_place(place),
          m_schema(schema),
          m_readOnly(access == Access::ReadOnly),
          m_db(place.connection, whatOf(place)) {
        // Waiting for the store's lock ends, as SQLite's busy timeout does,
        // a holder that stalls inside a transaction is cut off, and so is a
        // statement on a server that has stalled.
        m_db.run("SET search_path TO " + quotedName(m_schema) +
                 "; SET lock_timeout = '30s'; SET idle_in_transaction_session_timeout = '60s';"
                 " SET statement_timeout = '120s'");
        if (m_readOnly) {
            m_db.run("SET SESSION CHARACTERISTICS AS TRANSACTION READ ONLY");
            const int version = readVersion();
            if (version == 0) {
                throw StoreError(StoreError::Kind::Failed, whatOf(m_place) + " is missing");
            }
            if (version > kSchemaVersion) newerFormat(version);
        } else {
            createSchema();
        }
    }
    ~PostgresCatalog() override { rollback(); }

    void begin() override {
        refuseWrites();
        m_db.run("BEGIN");
        m_open = true;
        try {
            m_db.run("SELECT pg_advisory_xact_lock($1::int, 0)",
                     {std::to_string(m_place.trellanId)});
        } catch (...) {
            rollback();
            throw;
        }
    }
    // One snapshot for every statement, without the store's lock: writers
    // go on while it lasts.
    void beginRead() override {
        m_db.run("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
        m_open = true;
    }
    void commit() override {
        const PgResult done = m_db.run("COMMIT");
        m_open = false;
        // A transaction that failed on the server answers COMMIT with a
        // rollback.
        if (done.tag() != "COMMIT") {
            throw StoreError(StoreError::Kind::Failed,
                             whatOf(m_place) + ": the transaction was rolled back");
        }
    }
    void rollback() noexcept override {
        if (m_open) m_db.tryRun("ROLLBACK");
        m_open = false;
    }

    // Runs a statement of the rebuild's own on this connection, inside its
    // transaction.
    PgResult run(const std::string& sql, const std::vector<std::string>& parameters = {}) {
        return m_db.run(sql, parameters);
    }

    std::optional<uint32_t> trellanId() override {
        const PgResult found = m_db.run("SELECT value FROM store WHERE key = 'trellan_id'");
        if (found.rows() == 0) return std::nullopt;
        return static_cast<uint32_t>(found.integer(0, 0));
    }
    void setTrellanId(uint32_t trellanId) override {
        refuseWrites();
        m_db.run(
            "INSERT INTO store(key, value) VALUES('trellan_id', $1) ON CONFLICT(key) DO "
            "UPDATE SET value = EXCLUDED.value",
            {std::to_string(trellanId)});
    }

    uint64_t nextArchiveFileId() override {
        const PgResult next = m_db.run(
            "SELECT greatest((SELECT COALESCE(MAX(afile_id), 0) FROM archive_files), "
            "(SELECT COALESCE(MAX(value::bigint), 0) FROM store WHERE key = "
            "'afile_high_water')) + 1");
        return static_cast<uint64_t>(next.integer(0, 0));
    }

    void insertArchiveFile(const ArchiveFileRecord& record, const NewArchiveFile& file) override {
        refuseWrites();
        m_db.run(
            "INSERT INTO archive_files(afile_id, trellan_id, group_number, job_id, stream, "
            "state, size, path, sha256, type_code, data_type, setup_text, create_text, "
            "created_at, updated_at) VALUES($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, "
            "$12, $13, COALESCE(NULLIF($14, ''), " CATALOG_NOW
            "), COALESCE(NULLIF($15, ''), " CATALOG_NOW "))",
            {std::to_string(record.afileId), std::to_string(record.trellanId),
             std::to_string(record.groupNumber), number(record.jobId),
             std::to_string(record.stream), record.state, number(record.size), record.path,
             record.sha256, number(file.typeCode), number(file.dataType), file.setupText,
             file.createText, record.createdAt, record.updatedAt});
        // Past every id entered, however it was chosen.
        m_db.run(
            "INSERT INTO store(key, value) VALUES('afile_high_water', $1) ON CONFLICT(key) "
            "DO UPDATE SET value = greatest(store.value::bigint, EXCLUDED.value::bigint)::text",
            {std::to_string(record.afileId)});
    }

    bool markClosed(uint32_t afileId, unsigned long long size, const std::string& sha256) override {
        refuseWrites();
        return m_db.run(
                       "UPDATE archive_files SET state = 'closed', size = $1, sha256 = $2, "
                       "updated_at = " CATALOG_NOW " WHERE afile_id = $3 AND state = 'writing'",
                       {number(size), sha256, std::to_string(afileId)})
                   .affected() == 1;
    }

    bool invalidate(unsigned long long jobId, uint64_t trellanId, int64_t afileId) override {
        refuseWrites();
        return m_db.run("UPDATE archive_files SET state = 'invalidated', updated_at = " CATALOG_NOW
                        " WHERE job_id = $1 AND trellan_id = $2 AND afile_id = $3",
                        {number(jobId), number(trellanId), std::to_string(afileId)})
                   .affected() == 1;
    }

    void removeArchiveFile(uint32_t afileId) override {
        refuseWrites();
        m_db.run("DELETE FROM archive_files WHERE afile_id = $1", {std::to_string(afileId)});
    }

    std::optional<ArchiveFileRecord> findArchiveFile(uint32_t trellanId, uint32_t groupNumber,
                                                     uint32_t afileId) override {
        const PgResult found = m_db.run(
            std::string(kRecordColumns) +
                "WHERE trellan_id = $1 AND group_number = $2 AND afile_id = $3",
            {std::to_string(trellanId), std::to_string(groupNumber), std::to_string(afileId)});
        if (found.rows() == 0) return std::nullopt;
        return record(found, 0);
    }

    std::vector<ArchiveFileRecord> archiveFiles() override {
        return records(m_db.run(std::string(kRecordColumns) + "ORDER BY afile_id"));
    }

    std::vector<ArchiveFileRecord> archiveFilesOf(unsigned long long jobId) override {
        return records(m_db.run(std::string(kRecordColumns) + "WHERE job_id = $1 ORDER BY afile_id",
                                {number(jobId)}));
    }

    std::optional<CatalogJob> findJob(unsigned long long jobId) override {
        const PgResult found =
            m_db.run("SELECT job_id, state, created_at, updated_at FROM jobs WHERE job_id = $1",
                     {number(jobId)});
        if (found.rows() == 0) return std::nullopt;
        return job(found, 0);
    }

    bool insertJob(const CatalogJob& job) override {
        refuseWrites();
        return m_db.run(
                       "INSERT INTO jobs(job_id, state, created_at, updated_at) VALUES($1, $2, "
                       "COALESCE(NULLIF($3, ''), " CATALOG_NOW
                       "), COALESCE(NULLIF($4, ''), " CATALOG_NOW
                       ")) ON CONFLICT(job_id) DO NOTHING",
                       {number(job.jobId), job.state, job.createdAt, job.updatedAt})
                   .affected() == 1;
    }

    bool setJobState(unsigned long long jobId, const std::string& state) override {
        refuseWrites();
        if (state == "deleting" || state == "damaged") widenJobStates();
        return m_db.run("UPDATE jobs SET state = $1, updated_at = " CATALOG_NOW
                        " WHERE job_id = $2",
                        {state, number(jobId)})
                   .affected() == 1;
    }

    std::vector<CatalogJob> jobs() override {
        const PgResult found = m_db.run(
            "SELECT job_id, state, created_at, updated_at FROM jobs ORDER BY created_at, job_id");
        std::vector<CatalogJob> all;
        for (int row = 0; row < found.rows(); ++row) all.push_back(job(found, row));
        return all;
    }

    bool removeJob(unsigned long long jobId) override {
        refuseWrites();
        m_db.run("DELETE FROM archive_files WHERE job_id = $1", {number(jobId)});
        return m_db.run("DELETE FROM jobs WHERE job_id = $1", {number(jobId)}).affected() == 1;
    }

    // The server keeps its own pages sound; what can go wrong here is a
    // schema that someone changed by hand.
    std::vector<std::string> integrityProblems() override {
        std::vector<std::string> problems;
        const int version = readVersion();
        if (version != kSchemaVersion) {
            problems.push_back(formatText("%s has schema version %d, not %d",
                                          whatOf(m_place).c_str(), version, kSchemaVersion));
        }
        for (const char* table : {"store", "archive_files", "jobs"}) {
            const PgResult found =
                m_db.run("SELECT to_regclass($1) IS NULL", {quotedName(m_schema) + "." + table});
            if (found.text(0, 0) == "t") {
                problems.push_back(whatOf(m_place) + " lacks " + table);
            }
        }
        return problems;
    }

private:
    // 0: no schema yet.
    int readVersion() {
        const PgResult table = m_db.run("SELECT to_regclass($1) IS NOT NULL",
                                        {quotedName(m_schema) + ".schema_version"});
        if (table.text(0, 0) != "t") return 0;
        const PgResult version = m_db.run("SELECT COALESCE(MAX(version), 0) FROM schema_version");
        return static_cast<int>(version.integer(0, 0));
    }

    [[noreturn]] void newerFormat(int version) {
        throw StoreError(StoreError::Kind::Unusable,
                         formatText("%s has schema version %d, newer than this platform's %d",
                                    whatOf(m_place).c_str(), version, kSchemaVersion));
    }

    void refuseWrites() {
        if (m_readOnly) {
            throw StoreError(StoreError::Kind::Unusable, whatOf(m_place) + " is open read-only");
        }
    }

    // Looks without a lock first, so that opening a current schema writes
    // nothing; then, under the store's lock, applies what is missing.
    void createSchema() {
        int version = readVersion();
        if (version == kSchemaVersion) return;
        if (version > kSchemaVersion) newerFormat(version);
        CatalogTransaction transaction(*this);
        m_db.run("CREATE SCHEMA IF NOT EXISTS " + quotedName(m_schema));
        m_db.run(
            "CREATE TABLE IF NOT EXISTS schema_version(version integer PRIMARY KEY, "
            "applied_at text NOT NULL)");
        version = readVersion();
        if (version > kSchemaVersion) newerFormat(version);
        for (; version < kSchemaVersion; ++version) {
            m_db.run(kMigrations[version]);
            m_db.run("INSERT INTO schema_version(version, applied_at) VALUES($1, " CATALOG_NOW ")",
                     {std::to_string(version + 1)});
        }
        transaction.commit();
    }

    // A schema made before jobs could be deleting or damaged checks for the
    // first three states only: widened, inside the caller's transaction,
    // the first time a job takes one of the others. Its version stays, as
    // the columns do.
    void widenJobStates() {
        const PgResult check = m_db.run(
            "SELECT pg_get_constraintdef(oid) FROM pg_constraint WHERE conrelid = "
            "'jobs'::regclass AND contype = 'c' AND pg_get_constraintdef(oid) LIKE '%state%'");
        for (int row = 0; row < check.rows(); ++row) {
            if (check.text(row, 0).find("damaged") != std::string::npos) return;
        }
        m_db.run(
            "ALTER TABLE jobs DROP CONSTRAINT IF EXISTS jobs_state_check, ADD CONSTRAINT "
            "jobs_state_check CHECK(state IN ('running','complete','failed','deleting',"
            "'damaged'))");
    }

    static ArchiveFileRecord record(const PgResult& row, int i) {
        ArchiveFileRecord record;
        record.trellanId = static_cast<uint32_t>(row.integer(i, 0));
        record.groupNumber = static_cast<uint32_t>(row.integer(i, 1));
        record.afileId = static_cast<uint32_t>(row.integer(i, 2));
        record.jobId = static_cast<unsigned long long>(row.integer(i, 3));
        record.stream = static_cast<unsigned long>(row.integer(i, 4));
        record.state = row.text(i, 5);
        record.size = static_cast<unsigned long long>(row.integer(i, 6));
        record.path = row.text(i, 7);
        record.createdAt = row.text(i, 8);
        record.updatedAt = row.text(i, 9);
        record.sha256 = row.text(i, 10);
        return record;
    }

    static std::vector<ArchiveFileRecord> records(const PgResult& rows) {
        std::vector<ArchiveFileRecord> all;
        for (int row = 0; row < rows.rows(); ++row) all.push_back(record(rows, row));
        return all;
    }

    static CatalogJob job(const PgResult& row, int i) {
        return CatalogJob{static_cast<unsigned long long>(row.integer(i, 0)), row.text(i, 1),
                          row.text(i, 2), row.text(i, 3)};
    }

    const CatalogPlace m_place;
    const std::string m_schema;
    const bool m_readOnly;
    PgConnection m_db;
    bool m_open = false;
};

}  // namespace

std::unique_ptr<CatalogBackend> openPostgresCatalog(const CatalogPlace& place, Access access) {
    return std::make_unique<PostgresCatalog>(place, access, schemaOf(place));
}

// The new catalog is built in a schema of its own, and in the transaction
// that fills it, under the store's lock, the old schema is renamed aside and
// the new one takes its name: a kill before the commit leaves the old
// catalog as it was, and an empty schema that the next rebuild drops.
std::vector<std::string> rebuildPostgresCatalog(const CatalogPlace& place,
                                                const CatalogFill& fill) {
    const std::string schema = schemaOf(place);
    const std::string rebuilt = schema + "_rebuilding";
    PgConnection(place.connection, whatOf(place))
        .run("DROP SCHEMA IF EXISTS " + quotedName(rebuilt) + " CASCADE");
    PostgresCatalog fresh(place, Access::ReadWrite, rebuilt);
    CatalogTransaction transaction(fresh);
    fill(fresh);
    crashPoint("catalog rebuilt");
    if (interrupted()) {
        throw StoreError(StoreError::Kind::Interrupted,
                         "stopped before the rebuilt catalog replaced the old one, which is in "
                         "place");
    }
    std::vector<std::string> done;
    if (fresh.run("SELECT 1 FROM pg_namespace WHERE nspname = $1", {schema}).rows() != 0) {
        const std::string aside = schema + "_damaged_" + utcNowCompact();
        fresh.run("ALTER SCHEMA " + quotedName(schema) + " RENAME TO " + quotedName(aside));
        done.push_back("kept the old catalog as the schema " + aside);
    }
    fresh.run("ALTER SCHEMA " + quotedName(rebuilt) + " RENAME TO " + quotedName(schema));
    transaction.commit();
    crashPoint("catalog replaced");
    return done;
}

}  // namespace localplatform
