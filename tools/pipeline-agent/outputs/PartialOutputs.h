#pragma once

#include <string>
#include <vector>

// The hidden files that an OutputFile writes where unnamed files cannot be
// made. Each is recorded while it exists, in a directory of the store, by a
// small file that names it and that its writer keeps locked; a kill leaves
// the record with its lock free, and sweepPartialOutputs removes both.

// Records one hidden file for as long as the object lives. The hidden file
// itself is the OutputFile's to remove; the record goes with the object.
class PartialOutputRecord {
public:
    // Throws AgentError when the record cannot be written.
    PartialOutputRecord(const std::string& directory, const std::string& hiddenFile);
    ~PartialOutputRecord();

    PartialOutputRecord(const PartialOutputRecord&) = delete;
    PartialOutputRecord& operator=(const PartialOutputRecord&) = delete;

private:
    std::string m_path;
    std::string m_hiddenFile;
    int m_fd = -1;
};

// Removes the hidden files of dead writers recorded in directory, and their
// records; a record whose writer lives, or that names anything but a hidden
// partial file, is left alone (the latter with a line in *refused). Returns
// the files removed. Never blocks on a file.
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
