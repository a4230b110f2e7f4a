#pragma once

#include <cstdint>
#include <string>

// Makes a SQLite database of at least `bytes` bytes at path, a table of
// orders with deterministic contents. Returns the number of rows. Throws
// AgentError.
unsigned long long makeSampleDatabase(const std::string& path, uint64_t bytes);

// Opens the database read-only, checks its integrity and returns the number
// of orders. Throws AgentError when it is not a sound sample database.
unsigned long long checkSampleDatabase(const std::string& path);

// Writes the database's orders as CSV to a new file at path (id, customer,
// amount) and returns its size: the second file of the demo's backup set.
// Throws AgentError.
uint64_t exportSampleOrders(const std::string& databasePath, const std::string& path);
