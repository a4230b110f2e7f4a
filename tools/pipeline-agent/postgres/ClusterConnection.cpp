// One libpq connection to the server of a cluster a base backup copies: its
// facts, and the start and stop of a non-exclusive backup.

#include "postgres/ClusterConnection.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>

#include "base/AgentError.h"
#include "postgres/BoundedQuery.h"
#include "wal/WalFileName.h"

namespace {

// The oldest server whose non-exclusive backup this connection runs.
constexpr int kOldestServer = 90600;

// The server's clock, in UTC, as ISO 8601 text.
constexpr const char* kServerTime =
    "to_char(clock_timestamp() AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"')";

const char* const kBackupRights =
    "the role needs superuser, or EXECUTE on the server's backup functions";

// Throws when conninfo is not one libpq takes or holds a password.
void checkConninfo(const std::string& conninfo) {
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), &error);
    if (!options) {
        // libpq's reason may quote the string, password and all: not shown.
        PQfreemem(error);
        throw badInput(
            "the PostgreSQL connection string is not one libpq takes (a postgresql:// URI, "
            "keyword=value pairs or service=NAME)");
    }
    bool password = false;
    for (const PQconninfoOption* option = options; option->keyword; ++option) {
        if (std::strcmp(option->keyword, "password") == 0 && option->val && *option->val) {
            password = true;
        }
    }
    PQconninfoFree(options);
    if (password) {
        throw badInput(
            "the PostgreSQL connection string holds a password; give it by PGPASSWORD, a "
            "password file (PGPASSFILE) or a service file (service=NAME) instead");
    }
}

const std::string& valueAt(const QueryRows& rows, std::size_t column, const std::string& what) {
    if (rows.size() != 1 || rows[0].size() <= column || !rows[0][column]) {
        throw jobFailed("PostgreSQL gave no " + what);
    }
    return *rows[0][column];
}

std::uint64_t numberAt(const QueryRows& rows, std::size_t column, const std::string& what) {
    const std::string& text = valueAt(rows, column, what);
    try {
        std::size_t end = 0;
        const unsigned long long value = std::stoull(text, &end);
        if (end == text.size()) return value;
    } catch (const std::exception&) {
    }
    throw jobFailed("PostgreSQL gave a " + what + " that is no number: " + text);
}

// The segment file holding the WAL before lsnText: the server's name when it
// gave one (a primary), else the one made of the timeline and segment size
// it gave (a standby, where pg_walfile_name is refused).
std::pair<std::string, std::uint32_t> walFileOf(const QueryRows& rows, const std::string& lsnText,
                                                std::size_t nameColumn,
                                                std::size_t timelineColumn,
                                                std::size_t segmentColumn) {
    if (rows.size() == 1 && rows[0][nameColumn]) {
        const std::string& name = *rows[0][nameColumn];
        const std::optional<WalFileName> parsed = parseWalFileName(name);
        if (!parsed || !parsed->isSegment()) {
            throw jobFailed("PostgreSQL gave a WAL file name that is none: " + name);
        }
        return {name, parsed->timeline};
    }
    const auto lsn = parseLsn(lsnText);
    if (!lsn) throw jobFailed("PostgreSQL gave a WAL location that is none: " + lsnText);
    const auto timeline =
        static_cast<std::uint32_t>(numberAt(rows, timelineColumn, "timeline"));
    const std::uint64_t segmentBytes = numberAt(rows, segmentColumn, "WAL segment size");
    if (!WalSegmentSize::isValid(segmentBytes)) {
        throw jobFailed("PostgreSQL gave a WAL segment size that is none: " +
                        std::to_string(segmentBytes));
    }
    return {walFileBefore(timeline, *lsn, WalSegmentSize(segmentBytes)), timeline};
}

}  // namespace

std::string ClusterFacts::tablespaceVersionDirectory() const {
    const std::string major = serverVersionNum >= 100000
                                  ? std::to_string(serverVersionNum / 10000)
                                  : std::to_string(serverVersionNum / 10000) + "." +
                                        std::to_string(serverVersionNum / 100 % 100);
    return "PG_" + major + "_" + catalogVersion;
}

ClusterConnection ClusterConnection::open(const std::string& conninfo,
                                          std::chrono::milliseconds timeout) {
    checkConninfo(conninfo);
    const auto seconds = std::max<long long>(
        1, std::chrono::ceil<std::chrono::seconds>(timeout).count());
    const std::string connectTimeout = std::to_string(seconds);
    // The string's own settings come last and win.
    const char* keywords[] = {"connect_timeout", "fallback_application_name", "dbname", nullptr};
    const char* values[] = {connectTimeout.c_str(), "pipeline-agent", conninfo.c_str(), nullptr};
    std::unique_ptr<PGconn, void (*)(PGconn*)> conn(PQconnectdbParams(keywords, values, 1),
                                                     PQfinish);
    if (!conn) throw jobFailed("cannot connect to PostgreSQL: out of memory");
    if (PQstatus(conn.get()) != CONNECTION_OK) {
        throw jobFailed("cannot connect to PostgreSQL: " + firstLine(PQerrorMessage(conn.get())));
    }
    // Notices (pg_backup_stop's word on archiving, ...) are not the agent's
    // to show.
    PQsetNoticeProcessor(
        conn.get(), [](void*, const char*) {}, nullptr);
    const int version = PQserverVersion(conn.get());
    if (version < kOldestServer) {
        throw jobFailed("cannot back up PostgreSQL " + std::to_string(version / 10000) + "." +
                        std::to_string(version / 100 % 100) +
                        ": its base backups need 9.6 or later");
    }
    // This connection bounds its own waits, and must outlive a long copy
    // while idle: the role's or database's timeouts would cancel a spread
    // checkpoint or end the session, and the backup with it.
    runBounded(conn.get(),
               version >= 140000 ? "SELECT set_config('statement_timeout', '0', false), "
                                   "set_config('idle_session_timeout', '0', false)"
                                 : "SELECT set_config('statement_timeout', '0', false)",
               {}, timeout, {"setting the session's timeouts", ""});
    return ClusterConnection(conn.release(), timeout);
}

ClusterConnection::ClusterConnection(ClusterConnection&& other) noexcept
    : m_conn(std::exchange(other.m_conn, nullptr)),
      m_wait(other.m_wait),
      m_backupRunning(std::exchange(other.m_backupRunning, false)) {}

ClusterConnection& ClusterConnection::operator=(ClusterConnection&& other) noexcept {
    if (this != &other) {
        if (m_conn) PQfinish(m_conn);
        m_conn = std::exchange(other.m_conn, nullptr);
        m_wait = other.m_wait;
        m_backupRunning = std::exchange(other.m_backupRunning, false);
    }
    return *this;
}

ClusterConnection::~ClusterConnection() {
    if (m_conn) PQfinish(m_conn);
}

ClusterFacts ClusterConnection::facts() {
    const QueryPurpose purpose{
        "reading the cluster's facts",
        "the role needs superuser, or pg_read_all_settings to see the data directory"};
    const QueryRows rows = runBounded(
        m_conn,
        "SELECT s.system_identifier::text, s.catalog_version_no::text, "
        "current_setting('server_version_num'), current_setting('data_directory'), "
        "current_setting('data_checksums'), i.bytes_per_wal_segment::text, "
        "i.database_block_size::text, i.blocks_per_segment::text, c.timeline_id::text, "
        "pg_is_in_recovery()::text "
        "FROM pg_control_system() s, pg_control_init() i, pg_control_checkpoint() c",
        {}, m_wait, purpose);
    ClusterFacts facts;
    facts.systemIdentifier = valueAt(rows, 0, "system identifier");
    facts.catalogVersion = valueAt(rows, 1, "catalog version");
    facts.serverVersionNum = static_cast<int>(numberAt(rows, 2, "server version"));
    facts.dataDirectory = valueAt(rows, 3, "data directory");
    facts.dataChecksums = valueAt(rows, 4, "data checksums setting") == "on";
    facts.walSegmentBytes = numberAt(rows, 5, "WAL segment size");
    facts.blockSize = static_cast<std::uint32_t>(numberAt(rows, 6, "block size"));
    facts.segmentBlocks = static_cast<std::uint32_t>(numberAt(rows, 7, "relation segment size"));
    facts.timeline = static_cast<std::uint32_t>(numberAt(rows, 8, "timeline"));
    facts.inRecovery = valueAt(rows, 9, "recovery state") == "true";

    const QueryRows spaces = runBounded(
        m_conn,
        "SELECT oid::text, spcname, pg_tablespace_location(oid) FROM pg_tablespace "
        "WHERE spcname NOT IN ('pg_default', 'pg_global') ORDER BY oid",
        {}, m_wait, {"listing the cluster's tablespaces", purpose.whenDenied});
    for (const auto& row : spaces) {
        facts.tablespaces.push_back({row[0].value_or(""), row[1].value_or(""), row[2].value_or("")});
    }
    return facts;
}

BackupStart ClusterConnection::startBackup(const std::string& label, bool fast,
                                           std::chrono::milliseconds wait) {
    if (m_backupRunning) throw jobFailed("a base backup runs on this PostgreSQL connection already");
    const int version = PQserverVersion(m_conn);
    const std::string walFileFunction = version >= 100000 ? "pg_walfile_name" : "pg_xlogfile_name";
    const std::string start = version >= 150000 ? "pg_backup_start($1, $2::boolean)"
                                                : "pg_start_backup($1, $2::boolean, false)";
    const QueryRows rows = runBounded(
        m_conn,
        "SELECT b.l::text, CASE WHEN pg_is_in_recovery() THEN NULL ELSE " + walFileFunction +
            "(b.l) END, (SELECT timeline_id FROM pg_control_checkpoint())::text, "
            "(SELECT bytes_per_wal_segment FROM pg_control_init())::text, " +
            kServerTime + " FROM " + start + " AS b(l)",
        {label, fast ? "true" : "false"}, wait,
        {version >= 150000 ? "pg_backup_start" : "pg_start_backup", kBackupRights});
    m_backupRunning = true;
    BackupStart result;
    result.lsn = valueAt(rows, 0, "backup start location");
    std::tie(result.walFile, result.timeline) = walFileOf(rows, result.lsn, 1, 2, 3);
    result.serverTime = valueAt(rows, 4, "server time");
    return result;
}

BackupStop ClusterConnection::stopBackup(bool waitForArchive, std::chrono::milliseconds wait) {
    if (!m_backupRunning) throw jobFailed("no base backup runs on this PostgreSQL connection");
    // Whatever happens now, the server holds no backup for this session
    // that a second stop could end.
    m_backupRunning = false;
    const int version = PQserverVersion(m_conn);
    const std::string walFileFunction = version >= 100000 ? "pg_walfile_name" : "pg_xlogfile_name";
    std::vector<std::string> parameters;
    std::string stop = "pg_stop_backup(false)";  // 9.6 waits for the archive as configured
    if (version >= 150000) {
        stop = "pg_backup_stop($1::boolean)";
    } else if (version >= 100000) {
        stop = "pg_stop_backup(false, $1::boolean)";
    }
    if (version >= 100000) parameters.push_back(waitForArchive ? "true" : "false");
    const QueryRows rows = runBounded(
        m_conn,
        "SELECT s.lsn::text, CASE WHEN pg_is_in_recovery() THEN NULL ELSE " + walFileFunction +
            "(s.lsn) END, (SELECT timeline_id FROM pg_control_checkpoint())::text, "
            "(SELECT bytes_per_wal_segment FROM pg_control_init())::text, s.labelfile, "
            "s.spcmapfile, " + kServerTime + " FROM " + stop + " AS s",
        parameters, wait,
        {version >= 150000 ? "pg_backup_stop" : "pg_stop_backup", kBackupRights});
    BackupStop result;
    result.lsn = valueAt(rows, 0, "backup stop location");
    result.walFile = walFileOf(rows, result.lsn, 1, 2, 3).first;
    result.backupLabel = valueAt(rows, 4, "backup label");
    result.tablespaceMap = rows[0][5].value_or("");
    result.serverTime = valueAt(rows, 6, "server time");
    return result;
}
