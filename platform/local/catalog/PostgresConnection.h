#pragma once

// One libpq connection to the PostgreSQL server of a store's catalog, with
// its failures turned into StoreError: Unreachable when the server does not
// answer or the connection dropped, Unusable for a bad configuration or a
// damaged schema, Failed otherwise. Internal to the local library.

#include <libpq-fe.h>

#include <optional>
#include <string>
#include <vector>

// Internal to the library: none of it is exported.
#pragma GCC visibility push(hidden)

namespace localplatform {

// A query's result, owned; rows of text values (a NULL reads as "").
class PgResult {
public:
    explicit PgResult(PGresult* result) : m_result(result) {}
    ~PgResult() { PQclear(m_result); }
    PgResult(PgResult&& other) noexcept : m_result(other.m_result) { other.m_result = nullptr; }
    PgResult(const PgResult&) = delete;
    PgResult& operator=(const PgResult&) = delete;
    PgResult& operator=(PgResult&&) = delete;

    int rows() const { return PQntuples(m_result); }
    std::string text(int row, int column) const {
        return PQgetisnull(m_result, row, column) ? "" : PQgetvalue(m_result, row, column);
    }
    // The value as a decimal number; NULL and text that is none read as 0.
    long long integer(int row, int column) const;
    // Rows an UPDATE or DELETE touched.
    long long affected() const;
    // The command's tag: "COMMIT", or "ROLLBACK" for a COMMIT that ended a
    // failed transaction.
    std::string tag() const { return PQcmdStatus(m_result); }

private:
    PGresult* m_result;
};

// One libpq connection: used by one thread at a time, never shared between
// threads without a lock of the user's.
class PgConnection {
public:
    // Connects; what names it in messages is `what` (never the connection
    // string, which could name more than it should). Throws StoreError.
    PgConnection(const std::string& connection, const std::string& what);
    ~PgConnection();
    PgConnection(const PgConnection&) = delete;
    PgConnection& operator=(const PgConnection&) = delete;

    // Runs sql with text parameters ($1, $2, ...). Throws StoreError.
    PgResult run(const std::string& sql, const std::vector<std::string>& parameters = {});
    // Runs sql, false instead of throwing (rollbacks and unlocks on the way
    // out).
    bool tryRun(const std::string& sql, const std::vector<std::string>& parameters = {}) noexcept;
    // The connection still works: a round trip to the server succeeds.
    bool alive() noexcept;

private:
    PGconn* m_conn = nullptr;
    const std::string m_what;
};

// A name quoted for SQL.
std::string quotedName(const std::string& name);

}  // namespace localplatform

#pragma GCC visibility pop
