// One statement on a libpq connection, waited for with a bound.

#include "postgres/BoundedQuery.h"

#include <libpq-fe.h>
#include <poll.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "base/AgentError.h"

namespace {

using Clock = std::chrono::steady_clock;
using ResultPtr = std::unique_ptr<PGresult, void (*)(PGresult*)>;

// Waits until conn's answer so far is complete (PQisBusy false) or the
// deadline passes; false at the deadline. Throws when the connection breaks.
bool awaitInput(PGconn* conn, Clock::time_point deadline, const QueryPurpose& purpose) {
    while (true) {
        if (!PQconsumeInput(conn)) {
            throw jobFailed("the connection to PostgreSQL was lost during " + purpose.what + ": " +
                            firstLine(PQerrorMessage(conn)));
        }
        if (!PQisBusy(conn)) return true;
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd socket{PQsocket(conn), POLLIN, 0};
        const int ready = poll(&socket, 1, static_cast<int>(left));
        if (ready < 0 && errno != EINTR) {
            throw jobFailed("cannot wait for PostgreSQL's answer to " + purpose.what + ": " +
                            std::string(std::strerror(errno)));
        }
    }
}

// Asks the server to cancel what conn runs; what it answers is read, and
// dropped, within `wait`.
void cancel(PGconn* conn, std::chrono::milliseconds wait, const QueryPurpose& purpose) {
    if (PGcancel* request = PQgetCancel(conn)) {
        char error[256];
        PQcancel(request, error, sizeof error);
        PQfreeCancel(request);
    }
    const auto deadline = Clock::now() + wait;
    try {
        while (awaitInput(conn, deadline, purpose)) {
            PGresult* result = PQgetResult(conn);
            if (!result) return;
            PQclear(result);
        }
    } catch (const AgentError&) {
        // The connection is gone: the statement with it.
    }
}

[[noreturn]] void statementFailed(PGconn* conn, const PGresult* result,
                                  const QueryPurpose& purpose) {
    const std::string why = firstLine(result ? PQresultErrorMessage(result) : PQerrorMessage(conn));
    if (PQstatus(conn) != CONNECTION_OK) {
        throw jobFailed("the connection to PostgreSQL was lost during " + purpose.what + ": " + why);
    }
    const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    if (state && std::string(state) == "42501") {
        throw jobFailed("PostgreSQL refused " + purpose.what + ": " + why +
                        (purpose.whenDenied.empty() ? "" : " (" + purpose.whenDenied + ")"));
    }
    throw jobFailed("PostgreSQL failed " + purpose.what + ": " + why);
}

}  // namespace

std::string firstLine(const char* message) {
    std::string text = message ? message : "";
    const auto end = text.find('\n');
    if (end != std::string::npos) text.resize(end);
    return text.empty() ? "no reason given" : text;
}

std::string waitText(std::chrono::milliseconds wait) {
    const auto ms = wait.count();
    return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

QueryRows runBounded(pg_conn* conn, const std::string& sql,
                     const std::vector<std::string>& parameters, std::chrono::milliseconds wait,
                     const QueryPurpose& purpose) {
    std::vector<const char*> values;
    values.reserve(parameters.size());
    for (const std::string& value : parameters) values.push_back(value.c_str());
    if (!PQsendQueryParams(conn, sql.c_str(), static_cast<int>(values.size()), nullptr,
                           values.data(), nullptr, nullptr, 0)) {
        statementFailed(conn, nullptr, purpose);
    }
    const auto deadline = Clock::now() + wait;
    QueryRows rows;
    ResultPtr failure(nullptr, PQclear);
    // Every result up to the end of the answer is read, so that the
    // connection is ready for the next statement.
    while (true) {
        if (!awaitInput(conn, deadline, purpose)) {
            cancel(conn, wait, purpose);
            throw jobFailed("PostgreSQL did not finish " + purpose.what + " within " +
                            waitText(wait) + "; it was cancelled");
        }
        ResultPtr result(PQgetResult(conn), PQclear);
        if (!result) break;
        const ExecStatusType status = PQresultStatus(result.get());
        if (status == PGRES_TUPLES_OK) {
            for (int row = 0; row < PQntuples(result.get()); ++row) {
                auto& values = rows.emplace_back();
                for (int column = 0; column < PQnfields(result.get()); ++column) {
                    if (PQgetisnull(result.get(), row, column)) {
                        values.emplace_back();
                    } else {
                        values.emplace_back(PQgetvalue(result.get(), row, column));
                    }
                }
            }
        } else if (status != PGRES_COMMAND_OK && !failure) {
            failure = std::move(result);
        }
    }
    if (failure) statementFailed(conn, failure.get(), purpose);
    if (PQstatus(conn) != CONNECTION_OK) statementFailed(conn, nullptr, purpose);
    return rows;
}
