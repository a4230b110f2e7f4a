#include "commands/SampleDatabase.h"

#include <sqlite3.h>

#include <cstdio>
#include <string>

#include "base/AgentError.h"

namespace {

// An open database that closes itself.
class Database {
public:
    Database(const std::string& path, int flags) {
        if (sqlite3_open_v2(path.c_str(), &m_db, flags, nullptr) != SQLITE_OK) {
            const std::string message = m_db ? sqlite3_errmsg(m_db) : "out of memory";
            sqlite3_close(m_db);
            throw jobFailed("cannot open database " + path + ": " + message);
        }
    }
    ~Database() { sqlite3_close(m_db); }
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    void execute(const std::string& sql) {
        char* error = nullptr;
        if (sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
            const std::string message = error ? error : sqlite3_errmsg(m_db);
            sqlite3_free(error);
            throw jobFailed("database error: " + message);
        }
    }

    // The first column of the first row of a query, as text.
    std::string scalar(const std::string& sql) {
        sqlite3_stmt* statement = nullptr;
        std::string value;
        if (sqlite3_prepare_v2(m_db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW) {
            const auto* text = sqlite3_column_text(statement, 0);
            if (text) value = reinterpret_cast<const char*>(text);
        }
        const std::string error = sqlite3_errmsg(m_db);
        sqlite3_finalize(statement);
        if (value.empty()) throw jobFailed("database error: " + error);
        return value;
    }

    sqlite3* handle() { return m_db; }

private:
    sqlite3* m_db = nullptr;
};

}  // namespace

unsigned long long makeSampleDatabase(const std::string& path, uint64_t bytes) {
    Database db(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    db.execute(
        "PRAGMA page_size = 4096;"
        "CREATE TABLE orders(id INTEGER PRIMARY KEY, customer TEXT NOT NULL,"
        " amount_cents INTEGER NOT NULL, note TEXT NOT NULL);"
        "BEGIN;");
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db.handle(), "INSERT INTO orders VALUES(?, ?, ?, ?)", -1, &insert, nullptr);
    uint64_t state = 0x9E3779B97F4A7C15ULL;
    unsigned long long rows = 0;
    for (;;) {
        // Check the size every thousand rows: pages are written as they fill.
        if (rows % 1000 == 0 && std::stoull(db.scalar("PRAGMA page_count")) * 4096 >= bytes) {
            break;
        }
        std::string note;
        for (int i = 0; i < 24; ++i) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            note += static_cast<char>('a' + state % 26);
            note += i % 6 == 5 ? " " : "";
        }
        ++rows;
        const std::string customer = "customer-" + std::to_string(state % 5000);
        sqlite3_bind_int64(insert, 1, static_cast<sqlite3_int64>(rows));
        sqlite3_bind_text(insert, 2, customer.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(insert, 3, static_cast<sqlite3_int64>(state % 1000000));
        sqlite3_bind_text(insert, 4, note.c_str(), -1, SQLITE_TRANSIENT);
        if (sqlite3_step(insert) != SQLITE_DONE) {
            sqlite3_finalize(insert);
            throw jobFailed(std::string("cannot fill the sample database: ") +
                            sqlite3_errmsg(db.handle()));
        }
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    db.execute("COMMIT;");
    return rows;
}

unsigned long long checkSampleDatabase(const std::string& path) {
    Database db(path, SQLITE_OPEN_READONLY);
    const std::string integrity = db.scalar("PRAGMA integrity_check");
    if (integrity != "ok") throw jobFailed("database " + path + " is damaged: " + integrity);
    return std::stoull(db.scalar("SELECT count(*) FROM orders"));
}

uint64_t exportSampleOrders(const std::string& databasePath, const std::string& path) {
    Database db(databasePath, SQLITE_OPEN_READONLY);
    std::FILE* out = std::fopen(path.c_str(), "wx");
    if (!out) throw jobFailed("cannot create " + path);
    sqlite3_stmt* select = nullptr;
    sqlite3_prepare_v2(db.handle(), "SELECT id, customer, amount_cents FROM orders ORDER BY id", -1,
                       &select, nullptr);
    std::fputs("id,customer,amount_cents\n", out);
    while (select && sqlite3_step(select) == SQLITE_ROW) {
        std::fprintf(out, "%lld,%s,%lld\n", static_cast<long long>(sqlite3_column_int64(select, 0)),
                     reinterpret_cast<const char*>(sqlite3_column_text(select, 1)),
                     static_cast<long long>(sqlite3_column_int64(select, 2)));
    }
    sqlite3_finalize(select);
    const long size = std::ftell(out);
    if (std::fclose(out) != 0 || size < 0) throw jobFailed("cannot write " + path);
    return static_cast<uint64_t>(size);
}
