#pragma once

#include <string>
#include <vector>

// The hidden files that an OutputFile writes where unnamed files cannot be
// made. Each is recorded while it exists, in a directory of the store, by a
// small file that names it and that its writer keeps locked; a kill leaves
// the record with its lock free, and sweepPartialOutputs removes both.

// Records one hidden file for as long as the object lives. The hidden file
// itself is the OutputFile's to remove; the record goes with the object.
//
// A record holds the hidden file's path, a random token and, once the file
// exists, its device and inode; the token is also set on the file as an
// extended attribute where the file system takes one. The sweep removes a
// file only when the entry at the path is that very file, never by its name
// alone: a record that a store's writer forged cannot make it remove
// anything else.
class PartialOutputRecord {
public:
    // Writes the record in directory (made when missing; neither it nor the
    // record is reached through a link). fd: the hidden file or directory
    // when it exists already (-1: identify() follows once it does). Throws
    // AgentError when the record cannot be written; nothing is left then.
    PartialOutputRecord(const std::string& directory, const std::string& hiddenFile,
                        int fd = -1);
    ~PartialOutputRecord();

    PartialOutputRecord(const PartialOutputRecord&) = delete;
    PartialOutputRecord& operator=(const PartialOutputRecord&) = delete;

    // Adds the identity of the hidden file or directory now open as fd to
    // the record, and marks it with the token. Throws AgentError when the
    // record cannot be written.
    void identify(int fd);

private:
    std::string m_path;
    std::string m_hiddenFile;
    std::string m_token;
    int m_fd = -1;
};

// Takes a record's token off the file or directory open as fd, once it is
// the real output: best effort.
void clearPartialMark(int fd);

// Removes the hidden files of dead writers recorded in directory, and their
// records; a record whose writer lives is left alone, and so is one that
// names anything but a hidden partial file, or whose file is not the one it
// identifies (each of those with a line in *refused). Returns the files
// removed. Never blocks on a file, never follows a link in directory.
std::vector<std::string> sweepPartialOutputs(const std::string& directory,
                                             std::vector<std::string>* refused);

// Adds or removes a hidden file or directory of this process to or from
// those discardPartialOutputs removes, recorded in the store or not.
void addLivePartial(const std::string& path);
void removeLivePartial(const std::string& path);

// Removes every hidden file (or directory, with all in it) that this
// process is writing now: for a program about to end on a signal. Safe from
// any thread.
void discardPartialOutputs();

// Whether name (a file name without directory) has the form of a hidden
// partial file or directory: ".NAME.partial-XXXXXX".
bool isPartialOutputName(const std::string& name);

// Removes the directory at path and everything in it, never following a
// link, making its directories writable and searchable as needed. Best
// effort; true when it is gone.
bool removeDirectoryTree(const std::string& path);
