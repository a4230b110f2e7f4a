#pragma once

#include <chrono>
#include <string>

// What the commands check before any work starts. Each throws AgentError
// (bad input) with one line naming what is wrong.

// A file to read: it exists, is a regular file and can be opened.
void requireReadableFile(const std::string& path, const std::string& what);
// Reads the regular file at path whole, from one descriptor opened without
// blocking, so that a FIFO or device put in its place after any earlier
// look is refused rather than waited on. Throws AgentError (bad input, one
// line naming what and path) when it cannot be opened or read or is not a
// regular file.
std::string readRegularFile(const std::string& path, const std::string& what);
// A new file to be made at path: nothing is there, its directory exists and
// may be written, and it lies in no store (requireOutsideStores).
void requireNewFilePlace(const std::string& path, const std::string& what, bool mayReplace);
// A place the agent writes to must lie in no archive store: refused when the
// path, made absolute and resolved through every link in it (its last part
// included), lies in a directory that holds a store.ini (or a catalog.db
// beside a files/ folder, a store of the first format), or in storeDir when
// that is given. Neither the path nor storeDir need exist.
void requireOutsideStores(const std::string& path, const std::string& what,
                          const std::string& storeDir = "");
// True when the two paths name one place, however spelt (./m.json and
// m.json, a directory reached through a link); neither need exist.
bool samePlace(const std::string& a, const std::string& b);
// A log file named by the user: it lies in no store, and it can be opened
// for appending (and is created if absent).
void requireLogFile(const std::string& path);
// "250ms", "30s", "5m", "1h" or a plain number of seconds, from 1 ms to a
// day.
std::chrono::milliseconds parseMediaTimeout(const std::string& text);
// The value of a numeric option: a plain decimal number (a leading '-' only
// for a negative one; no '+', no hex, no spaces) from min to max. Throws
// AgentError (bad input) naming the option, its range and the text given.
long long parseDecimal(const std::string& option, const std::string& text, long long min,
                       long long max);
unsigned long long parseDecimalUnsigned(const std::string& option, const std::string& text,
                                        unsigned long long min, unsigned long long max);
