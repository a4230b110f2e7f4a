// Connections to a PostgreSQL catalog's server through libpq, and the
// checks that a connection string gets before a store records it.

#include "platform/local/catalog/PostgresConnection.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/local/Config.h"
#include "platform/local/catalog/CatalogBackend.h"

namespace localplatform {

namespace {

// Seconds that connecting may take before the server counts as not
// answering.
constexpr const char* kConnectTimeout = "10";

std::string firstLine(const char* message) {
    std::string text = message ? message : "";
    const auto end = text.find('\n');
    if (end != std::string::npos) text.resize(end);
    return text.empty() ? "no reason given" : text;
}

// The connection string as libpq's expand_dbname takes it, after defaults
// that it may override: a server that vanishes (its host dead, the network
// cut) fails a waiting call within about half a minute instead of the
// minutes TCP would take.
PGconn* connectTo(const std::string& connection) {
    const char* keywords[] = {
        "connect_timeout",  "application_name", "keepalives_idle", "keepalives_interval",
        "keepalives_count", "tcp_user_timeout", "dbname",          nullptr};
    const char* values[] = {kConnectTimeout, "pipelinesetup",    "10",   "5", "3",
                            "30000",         connection.c_str(), nullptr};
    return PQconnectdbParams(keywords, values, 1);
}

// Why a connection failed: a server that answers and refuses (unknown
// database or role, failed authentication) is a bad configuration; one
// that does not answer, or is starting or stopping, is down.
[[noreturn]] void connectFailed(PGconn* conn, const std::string& connection,
                                const std::string& what) {
    const std::string why = firstLine(PQerrorMessage(conn));
    const char* keywords[] = {"connect_timeout", "dbname", nullptr};
    const char* values[] = {kConnectTimeout, connection.c_str(), nullptr};
    const PGPing ping = PQpingParams(keywords, values, 1);
    const bool down = ping == PQPING_NO_RESPONSE || ping == PQPING_REJECT;
    throw StoreError(
        down ? StoreError::Kind::Unreachable : StoreError::Kind::Unusable,
        "cannot connect to " + what + (down ? " (the server does not answer): " : ": ") + why);
}

}  // namespace

long long PgResult::integer(int row, int column) const {
    return std::strtoll(PQgetvalue(m_result, row, column), nullptr, 10);
}

long long PgResult::affected() const {
    const char* count = PQcmdTuples(m_result);
    return count && *count ? std::strtoll(count, nullptr, 10) : 0;
}

PgConnection::PgConnection(const std::string& connection, const std::string& what) : m_what(what) {
    m_conn = connectTo(connection);
    if (!m_conn)
        throw StoreError(StoreError::Kind::Failed, "cannot connect to " + what + ": out of memory");
    if (PQstatus(m_conn) != CONNECTION_OK) {
        PGconn* failed = m_conn;
        m_conn = nullptr;
        const std::unique_ptr<PGconn, void (*)(PGconn*)> closer(failed, PQfinish);
        connectFailed(failed, connection, what);
    }
    // Notices (a schema that exists already, ...) are not this program's to show.
    PQsetNoticeProcessor(
        m_conn, [](void*, const char*) {}, nullptr);
}

PgConnection::~PgConnection() { PQfinish(m_conn); }

PgResult PgConnection::run(const std::string& sql, const std::vector<std::string>& parameters) {
    std::vector<const char*> values;
    values.reserve(parameters.size());
    for (const std::string& value : parameters) values.push_back(value.c_str());
    // Without parameters, by the simple protocol, which takes several
    // statements at once (a migration's).
    PGresult* raw = parameters.empty()
                        ? PQexec(m_conn, sql.c_str())
                        : PQexecParams(m_conn, sql.c_str(), static_cast<int>(values.size()),
                                       nullptr, values.data(), nullptr, nullptr, 0);
    PgResult result(raw);
    const ExecStatusType status = raw ? PQresultStatus(raw) : PGRES_FATAL_ERROR;
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return result;
    const char* state = raw ? PQresultErrorField(raw, PG_DIAG_SQLSTATE) : nullptr;
    const std::string code = state ? state : "";
    // Class 08: the connection; 57P0x: the server shutting down or
    // restarting; no result or a broken connection: the same.
    const bool dropped = !raw || PQstatus(m_conn) != CONNECTION_OK || code.rfind("08", 0) == 0 ||
                         code.rfind("57P0", 0) == 0;
    // Class 42 (an undefined table or column, ...) and XX001/XX002 (data
    // corrupted): the schema is not what this program made.
    const bool damaged = code.rfind("42", 0) == 0 || code == "XX001" || code == "XX002";
    const StoreError::Kind kind = dropped   ? StoreError::Kind::Unreachable
                                  : damaged ? StoreError::Kind::Unusable
                                            : StoreError::Kind::Failed;
    const std::string why = firstLine(raw ? PQresultErrorMessage(raw) : PQerrorMessage(m_conn));
    throw StoreError(kind,
                     m_what + (dropped ? ": the connection to its server was lost: " : ": ") + why);
}

bool PgConnection::tryRun(const std::string& sql,
                          const std::vector<std::string>& parameters) noexcept {
    try {
        run(sql, parameters);
        return true;
    } catch (...) {
        return false;
    }
}

bool PgConnection::alive() noexcept { return tryRun("SELECT 1"); }

std::string quotedName(const std::string& name) {
    std::string quoted = "\"";
    for (const char c : name) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

void checkConnectionString(const std::string& connection) {
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(connection.c_str(), &error);
    if (!options) {
        // libpq's reason may quote the string, password and all: not shown.
        PQfreemem(error);
        throw StoreError(StoreError::Kind::Unusable,
                         "the catalog's connection string is not one libpq takes (a "
                         "postgresql:// URI, keyword=value pairs or service=NAME)");
    }
    bool password = false;
    for (const PQconninfoOption* option = options; option->keyword; ++option) {
        if (std::strcmp(option->keyword, "password") == 0 && option->val && *option->val) {
            password = true;
        }
    }
    PQconninfoFree(options);
    if (password) {
        throw StoreError(StoreError::Kind::Unusable,
                         "the catalog's connection string holds a password, which store.ini would "
                         "keep; give it by PGPASSWORD, a password file (PGPASSFILE) or a service "
                         "file (service=NAME) instead");
    }
    if (connection.find_first_of("\r\n") != std::string::npos) {
        throw StoreError(StoreError::Kind::Unusable,
                         "the catalog's connection string must be one line");
    }
}

void checkPostgresReachable(const std::string& connection) {
    PgConnection(connection, "the catalog's PostgreSQL server");
}

}  // namespace localplatform
