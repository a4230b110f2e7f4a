#pragma once

// What an audit finds wrong with the store's own places, apart from its
// catalog and archive files: what others may write, and entries of jobs/
// and logs/ that no command can use; and their clearing by a repair.
// Internal to the local library.

#include <string>
#include <vector>

// Internal to the library: none of it is exported.
#pragma GCC visibility push(hidden)

namespace localplatform {

class Store;

namespace audit {

// The store's own places that users other than its owner may write: a store
// shared with a group lets that group read it, never write it.
void findWritableByOthers(const Store& store, std::vector<std::string>* problems);

// The entries of jobs/ and logs/ that no command can use, each with what it
// takes to put it right: a lock or a log that is no regular file (a link
// is never followed: whoever made it meant to lead the store's writes
// elsewhere), jobs/ itself when it is no folder, and a name of jobs/ whose
// number is no job id. Returns true when some of them are for check
// --repair to clear (clearUnusableEntries, and jobs/ at the store's
// opening); *clear gets their paths.
bool findUnusableEntries(const Store& store, std::vector<std::string>* problems,
                         std::vector<std::string>* clear = nullptr);

// Clears the locks and logs that findUnusableEntries finds (clearPlace):
// nothing can hold a lock that is no regular file, so no job at work loses
// one. Each line says what was done.
void clearUnusableEntries(const Store& store, std::vector<std::string>* cleared);

}  // namespace audit

}  // namespace localplatform

#pragma GCC visibility pop
