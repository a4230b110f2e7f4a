#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

// libpq's connection (PGconn), seen here only by pointer.
struct pg_conn;

// One statement on a libpq connection with a bound on how long the server
// may take to answer it.

// The rows of a statement's answer, each value as the server's text, or
// nothing for NULL.
using QueryRows = std::vector<std::vector<std::optional<std::string>>>;

// What a statement is for, in the words of its failure lines.
struct QueryPurpose {
    std::string what;      // follows "PostgreSQL refused "/"... failed ": "pg_backup_start"
    std::string whenDenied;  // appended when the server refuses it for want of a
                           // privilege (SQLSTATE 42501), e.g. what the role needs
};

// Runs sql (one statement, its $1.. taken from parameters as text) on conn
// and returns its rows. Waits at most `wait` for the whole answer: past it,
// asks the server to cancel the statement, gives it `wait` again to finish,
// and throws AgentError (job failed) "PostgreSQL did not finish <what>
// within <wait>; it was cancelled". A statement the server refuses throws
// AgentError (job failed) with the server's first line: "PostgreSQL refused
// <what>: <reason> (<whenDenied>)" for a missing privilege, "PostgreSQL
// failed <what>: <reason>" otherwise; a lost connection "the connection to
// PostgreSQL was lost during <what>: <reason>". conn stays owned by the
// caller; after a throw it may be unusable. Uses conn alone: one thread at a
// time per connection.
QueryRows runBounded(pg_conn* conn, const std::string& sql,
                     const std::vector<std::string>& parameters, std::chrono::milliseconds wait,
                     const QueryPurpose& purpose);

// A wait as a line shows it: "250 ms", "30 s".
std::string waitText(std::chrono::milliseconds wait);

// The first line of a libpq message, without its end; "no reason given"
// for none.
std::string firstLine(const char* message);
