#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class PartialOutputRecord;

// One entry that a restore of a tree writes: a directory, a file or a
// symbolic link, at a path relative to the output directory (one that
// relativePathProblem accepts), each after its directory.
struct TreeOutputEntry {
    enum class Kind { File, Directory, Symlink };
    Kind kind = Kind::File;
    std::string path;
    int mode = -1;  // permission bits; -1: 0666 (a file) or 0777 (a directory) less the umask
    bool hasMtime = false;
    int64_t mtime = 0;   // ns since the epoch
    uint64_t size = 0;   // a file's
    std::string target;  // a link's
};

// Where a restore of a tree (or of a set holding one) writes, so that
// nothing of it appears under its own name before everything was verified.
//
// Everything new is written into one hidden directory beside it in the
// output directory, ".restore.partial-XXXXXX" (0700, recorded in the store
// as a partial output, like a hidden partial file, so that `cleanup`
// removes what a kill leaves), under its recorded path: directories first
// (0700 while they are filled), files by name as their data comes (0600
// until they are complete, then their mode and time), links last. commit()
// then gives the directories made inside the hidden one their modes and
// times, deepest first, makes it all durable (syncfs), and moves each "top"
// (an entry whose directory exists in the output, or the output directory
// itself) into place with one rename each, never replacing anything unless
// replace was asked for a file or link; then the modes and times of the
// directories so moved.
//
// Nothing is ever followed through a symbolic link: the output's
// directories are opened one part at a time from the output directory's
// descriptor with O_NOFOLLOW | O_DIRECTORY, and the constructor refuses
// every path that would pass through a link found there.
//
// An entry whose directory exists in the output as a directory is placed
// into it; a directory of the set that exists there already is used as it
// is (its mode and time are left alone).
//
// openFile and finishFile may be called from several threads at once, for
// different files; everything else from one thread.
class TreeOutput {
public:
    struct Options {
        bool replace = false;         // a file or link may replace one at its place
        std::string recordDirectory;  // where the hidden directory is recorded; empty: nowhere
    };

    // Checks every entry against the output directory before any work:
    // throws AgentError (bad input, one line) when the output is not a
    // directory or cannot be written, when a path would pass through a
    // symbolic link or something that is not a directory, when a file or
    // link exists at its place (unless replace; never a directory), or a
    // directory of the set exists there as something else. Creates nothing.
    TreeOutput(std::string outputDirectory, std::vector<TreeOutputEntry> entries, Options options);
    // Without a commit: removes the hidden directory and all in it.
    ~TreeOutput();
    TreeOutput(const TreeOutput&) = delete;
    TreeOutput& operator=(const TreeOutput&) = delete;

    // Where the hidden directory is recorded (the store's, once it is open);
    // call before prepare.
    void setRecordDirectory(std::string directory) {
        m_options.recordDirectory = std::move(directory);
    }
    // Makes the hidden directory and, in it, every new directory and every
    // empty file. Throws AgentError (failed job).
    void prepare();
    // Creates file entry `index` in the hidden directory and returns a
    // descriptor to write it and read back what was written; once per file.
    // Thread-safe. Throws AgentError.
    int openFile(std::size_t index);
    // Gives the file written through fd its mode and time and closes fd.
    // Thread-safe. Throws AgentError.
    void finishFile(std::size_t index, int fd);
    // See above. Throws AgentError (failed job).
    void commit();

    // Where entry `index` appears: the output directory, then its path.
    std::string finalPath(std::size_t index) const;
    const std::vector<TreeOutputEntry>& entries() const { return m_entries; }
    // The hidden directory, once prepared; empty before.
    const std::string& stagingPath() const { return m_stagingPath; }

private:
    enum class State { Existing, New };
    // Opens the directory at relative path dir ("" for base itself) below
    // base, one part at a time, never through a link. -1 with errno set.
    static int openBelow(int base, const std::string& dir);
    int openInStaging(const std::string& dir) const;
    // The directory dir of the hidden one, open, from a small cache shared
    // by the threads that open files.
    std::shared_ptr<const int> stagingDirectory(const std::string& dir);
    void check();
    // prepare's steps: the hidden directory, recorded first; in it, the
    // directories that hold the tops whose directory exists in the output;
    // every new directory and empty file.
    void makeStaging();
    void makeScaffolding();
    void makeEmptyEntries();
    // commit's steps before the tops move: links last, once every file is
    // in; then the directories made inside the hidden one, deepest first,
    // after all they hold (a 0500 directory was filled before it became
    // one). Then each top moved into place, a directory given its mode and
    // time once moved.
    void makeLinks();
    void settleNewDirectories();
    void moveTopsIntoPlace();
    void discard();

    const std::string m_output;
    const std::vector<TreeOutputEntry> m_entries;
    Options m_options;
    std::vector<State> m_states;  // per entry
    std::vector<bool> m_tops;     // per entry: moved into place at commit
    std::vector<bool> m_replace;  // per entry: replaces a file or link there
    int m_outputFd = -1;
    int m_stagingFd = -1;
    std::string m_stagingName;  // in the output directory
    std::string m_stagingPath;
    std::vector<std::string> m_scaffolding;  // directories made in the hidden one to hold tops
    std::unique_ptr<PartialOutputRecord> m_record;
    std::mutex m_cacheMutex;
    std::map<std::string, std::shared_ptr<const int>> m_directories;  // at most kCached
    bool m_committed = false;
};
