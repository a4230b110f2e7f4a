#pragma once

// The embedded local platform: an implementation of every declaration in
// platform/ on one machine, so that the library runs standalone.
//
// - A store is a directory, or a prefix of a bucket in object storage
//   ("s3://BUCKET/PREFIX", its catalog then in PostgreSQL and its logs on
//   the host that wrote them), that holds everything about its backups and
//   nothing outside it: store.ini (its format, Trellan id and, for a
//   catalog in PostgreSQL, its connection string; written once),
//   catalog.db (the catalog of jobs and archive files, unless it is in
//   PostgreSQL, shared by agents on several hosts), files/N.arch (the data
//   of archive file N, nothing else), files/N.meta (that file's own
//   description: identity, job, stream and, once closed, size and SHA-256),
//   and jobs/ (each job's liveness lock, for a SQLite catalog, and, once
//   complete, its completion marker). A PostgreSQL catalog's writers hold
//   an advisory lock per job on the server instead. The catalog names
//   files relative to the store, so a store can be moved or copied; the
//   catalog can be rebuilt from files/ and jobs/.
// - Archive files are created exclusively and never replaced. A file enters
//   the catalog as "writing" before its first byte, is "closed" only after
//   its data and its description are durable, and "invalidated" when the
//   archive manager is told so. Restore opens closed files of jobs that did
//   not fail.
// - Jobs are the unit: a job is "running" from its first archive file (or
//   beginJob) and holds a lock while its process lives; it becomes
//   "complete" by completeJob, or "failed" by failJob or by a cleanup that
//   finds its writer gone. Cleanup removes the files of jobs that did not
//   complete and whose writer is gone, closed files included.
// - Backup streams are numbered in the order their archive files are created
//   within the process and job, which is the order BackupPipelineSetup sets
//   them up (1, 2, ...). The agent writes each stream's data with writeStream.
// - Restore streams talk to an in-process media side: one worker thread per
//   open archive file that reads the file from the sought offset. readBuffer
//   delivers its data as kDataMessage messages, and the pipeline messages
//   132, 133 and 148 after FSR_MSG_CLOSE_ARCHIVE.
// - Log lines go to stderr, a file, or a file of the store's logs/
//   directory, optionally copied to stderr, stamped with time, process,
//   thread, level and job id. Settings come from an INI file.
//
// Threads: openStore and closeStore must not run concurrently with other
// platform calls; everything else may be called from any thread.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace localplatform {

// The type of a restore data message: ReadBufRet_t::data holds dataLength
// bytes of the stream's archive file, valid until freeBuffer.
constexpr int kDataMessage = 1;

// A log level that lets nothing through, errors included.
constexpr int kLogNothing = -2;

struct Config {
    // Where the store is. Empty: $PIPELINE_STORE, else
    // $XDG_DATA_HOME/pipelinesetup/store, else
    // $HOME/.local/share/pipelinesetup/store. A relative path is taken from
    // the working directory at openStore.
    std::string storeDir;
    // The settings file. Empty: $PIPELINE_SETTINGS, else
    // <store>/settings.ini.
    std::string settingsFile;
    // Where log lines go (appended). Empty: <store>/logs/<storeLogName>.log
    // when storeLogName is set, else stderr.
    std::string logFile;
    // The name of the store's log file for this run (a job id, say): only
    // used when logFile is empty. The logs/ directory is made when absent.
    // A ReadOnly store that cannot take it gets no log file; its lines then
    // go to stderr only as stderrLevel lets them.
    std::string storeLogName;
    // Error lines pass; debug lines pass when their level is at most this.
    // debug() and Debug() lines have level 1, DebugLvl lines their own. -1
    // keeps errors only, kLogNothing nothing at all.
    int logLevel = 1;
    // When the lines go to a file: the lines that are also copied to stderr,
    // by the same rule as logLevel. kLogNothing (the default): none.
    int stderrLevel = kLogNothing;
    // The job that EvEvent contexts belong to until setCurrentJob.
    unsigned long long jobId = 0;
    // The catalog of a store made by this openStore: empty for SQLite
    // (<store>/catalog.db), else a PostgreSQL connection string (URI,
    // key=value or service=), which store.ini records and every later
    // opening uses. It must hold no password: libpq takes one from
    // PGPASSWORD, PGPASSFILE or a service file. Given for a store that
    // exists, it must name the catalog the store records. Empty: the
    // environment's $PIPELINE_CATALOG, used for a store made now only.
    std::string catalog;
    // The group a store made by this openStore is shared with: it may read
    // the store (directories 0750, files 0640, of that group). Empty: the
    // store is its owner's alone (0700 and 0600), whatever the umask. Given
    // for a store that exists, it must name the group the store records.
    std::string shareGroup;
    // The physical machine's name. Empty: the host name.
    std::string physicalMachine;
    // How long readBuffer waits for a media side that makes no progress
    // before it gives up with 0 and a log line.
    std::chrono::milliseconds mediaTimeout{60000};
    // Media side reads of the archive file are made in chunks of this size.
    std::size_t chunkSize = 256 * 1024;
    // Slows every chunk the media side reads by this much: a stand-in for
    // slow media, for tests of the timeout.
    std::chrono::milliseconds mediaChunkDelay{0};
    // Testing: QISLEEP logs its pause but does not sleep.
    bool skipPauses = false;
    // Testing: the process kills itself (SIGKILL) at the crashPoint call that
    // makes this many calls since openStore. 0: never.
    unsigned long killAtStep = 0;
    // Testing: at the crashPoint call that makes this many calls, the
    // process sends itself SIGTERM and waits (at most 10 s) until the
    // program has called interrupt(). 0: never.
    unsigned long signalAtStep = 0;
    // Testing: the store's files pass a fault storage that makes chosen
    // operations fail, write short, stall or lose what was never synced, by
    // a plan of rules separated by ';', such as "op=append,nth=3,errno=ENOSPC"
    // (the third append fails with ENOSPC), "from=7,errno=EIO" (the seventh
    // operation and every later one), "op=append,nth=2,short",
    // "op=sync,nth=1,stall=200ms", "nth=12,crash" (a power loss, then
    // SIGKILL) or "op=create,in=.meta,nth=1,errno=EDQUOT" (only operations on
    // paths holding ".meta" count). Operations: create open status append sync read size rename
    // link remove list lock mkdir mkparents syncdir canonical writable
    // truncate. Errors: ENOSPC EIO EDQUOT EROFS. An unusable plan fails
    // openStore (StoreError Unusable). Empty: the store's files as they are.
    std::string storageFaults;
    // For a repair (ReadWrite): what stands where jobs/ or this run's log
    // file belongs and is not of that kind is cleared at openStore instead
    // of refused: a symbolic link removed (the link, never what it leads
    // to), anything else renamed aside to NAME.unusable-<UTC time>. check
    // tells what was cleared (CheckResult::repaired).
    bool clearUnusablePlaces = false;
};

enum class Access { ReadWrite, ReadOnly };

// What openStore and the store operations throw.
class StoreError : public std::runtime_error {
public:
    enum class Kind {
        NotFound,  // there is no store there (ReadOnly, or create=false)
        Unusable,  // not a store, a newer format, no permission, cannot be created, damaged catalog
        JobExists, // the store already knows the job
        Failed,    // an I/O failure in the middle of an operation (disk full, ...)
        Unreachable, // the catalog's database server does not answer or the connection dropped
        Interrupted, // stopped between two steps because interrupt() was called
    };
    StoreError(Kind kind, const std::string& what) : std::runtime_error(what), m_kind(kind) {}
    Kind kind() const { return m_kind; }

private:
    Kind m_kind;
};

// An archive file as the catalog records it.
struct ArchiveFileRecord {
    uint32_t trellanId = 0;
    uint32_t groupNumber = 0;
    uint32_t afileId = 0;
    unsigned long long jobId = 0;
    unsigned long stream = 0;
    std::string state;               // "writing", "closed" or "invalidated"
    unsigned long long size = 0;     // bytes; for a file never closed, bytes so far
    std::string path;                // the data file, in the open store
    std::string sha256;              // of the data, lower-case hex, once closed
    std::string createdAt;           // UTC, ISO 8601
    std::string updatedAt;
    bool writerAlive = false;        // its job's writer lives (files never closed)
};

// Opens the store named by config.storeDir (else $PIPELINE_STORE, else the
// XDG default) by its canonical path and makes it, and config, what this
// process's platform calls use until closeStore; a store open before is
// closed first. ReadWrite with create=true creates the store when absent;
// ReadOnly never writes anything in the store but the log file that
// config.storeLogName asks for, in logs/. The log sink is built from config
// here: a log file that cannot be opened is an error (Unusable), but for a
// ReadOnly store's own log file, which is then done without.
// Throws StoreError, leaving no store open.
void openStore(const Config& config, Access access, bool create);
// Releases the open store: the locks of jobs this process began and did not
// end, and the log file. Writers still alive keep what they need.
void closeStore();
bool storeIsOpen();
// The open store's canonical directory. Throws StoreError(NotFound) when
// none is open.
std::string storeDirectory();
// The directory on this host that holds what the open store keeps here (its
// logs, the records of partial restore outputs): the store's directory, or
// for a store in object storage the local directory its logs are in, made
// when the store was opened. Throws StoreError(NotFound) when none is open.
std::string storeHostDirectory();
// The store directory a configuration names (Config::storeDir, else the
// environment's default), as given: neither made canonical nor opened.
std::string configuredStoreDirectory(const Config& config);
// Whether a store as named (a configuration's, a store's directory) lies in
// object storage ("s3://BUCKET/...") rather than in a directory.
bool namesObjectStore(const std::string& store);
// The configuration of the open store (defaults when none is open).
Config configuration();
// The file the log lines go to now; empty when they go to stderr only.
std::string logFilePath();
// The job that EvEvent contexts made from now on belong to, and that
// createArchiveFile creates files for.
void setCurrentJob(unsigned long long jobId);

// Begins a job: refuses (JobExists) a job id the store knows in any state,
// then takes the job's liveness lock, held until failJob, completeJob,
// closeStore or exit, and enters the job as "running". Unusable on a
// read-only store; Failed when the store fails.
void beginJob(unsigned long long jobId);
// Marks a job this process began complete, durably (a marker in jobs/ first,
// then the catalog), and releases its lock. Refuses (Failed) a job that was
// not begun here or that has a file that is not closed.
void completeJob(unsigned long long jobId);
// Marks the job failed in the catalog (a complete job stays complete) and
// releases its lock if this process holds it. Best effort: logs what it
// could not do.
void failJob(unsigned long long jobId) noexcept;

struct JobRecord {
    unsigned long long jobId = 0;
    // "running", "complete", "failed", "deleting" (deleted on purpose, not
    // yet wholly removed) or "damaged" (complete, kept on purpose with a
    // damaged archive file)
    std::string state;
    bool writerAlive = false; // its lock is held
    std::string createdAt, updatedAt;
    std::vector<ArchiveFileRecord> files;  // oldest first
};
// The store's jobs, oldest first, with their files. Throws StoreError.
std::vector<JobRecord> listJobs();

// The archive file this process created for the job's stream, from this
// process's own registry (not the catalog). False when it created none.
bool createdArchiveFile(unsigned long long jobId, unsigned long stream,
                        ArchiveFileRecord* record);

// Appends length bytes to the archive file that stream `stream` of job
// `jobId` is writing in this process. False, with *error set, when no such
// stream is open for writing or the write fails.
bool writeStream(unsigned long long jobId, unsigned long stream, const void* data,
                 std::size_t length, std::string* error);

// The catalog's archive files, oldest first. Throws StoreError.
std::vector<ArchiveFileRecord> listArchiveFiles();
// The archive file with this identity, if the catalog has it. False, with a
// log line, when the catalog cannot be read.
bool findArchiveFile(uint32_t trellanId, uint32_t groupNumber, uint32_t afileId,
                     ArchiveFileRecord* record);
// The same, but a catalog that cannot be read (its server down, say) throws
// StoreError instead of looking like a file the store lacks.
std::optional<ArchiveFileRecord> lookUpArchiveFile(uint32_t trellanId, uint32_t groupNumber,
                                                   uint32_t afileId);
// True when the open store holds something at the record's (full) data
// path, looked at without following a link: a file, or an object for a
// store in object storage. False when nothing is there or it cannot be
// looked at. Throws StoreError(NotFound) when no store is open.
bool archiveDataPresent(const ArchiveFileRecord& record);
// The data of one archive file of the open store, opened for reading
// through the store's storage: without following a link and without
// blocking on anything but a regular file (or an object). One object per
// reader; not shared between threads.
class ArchiveData {
public:
    virtual ~ArchiveData() = default;
    virtual unsigned long long size() const = 0;
    // Fills length bytes at offset; false at the data's end or on an error
    // (errno set).
    virtual bool readExactly(void* data, std::size_t length, unsigned long long offset) = 0;
};
// Opens the data at the record's (full) path. Null with *why set (what
// stands there instead, or the error) when it cannot be opened. Throws
// StoreError(NotFound) when no store is open.
std::unique_ptr<ArchiveData> openArchiveData(const ArchiveFileRecord& record, std::string* why);

struct CleanupResult {
    std::vector<ArchiveFileRecord> removed;      // files removed, with the state they had
    std::vector<unsigned long long> jobsFailed;  // jobs it marked failed
    std::vector<std::string> refused;            // what it would not touch, and why
    std::vector<unsigned long long> jobsDeleted;  // deletions it finished
    // Unfinished writes it dropped (a store in object storage: the uploads
    // of archive files whose writer is gone), by the file's path.
    std::vector<std::string> abandonedWrites;
};
// Removes every file of every job that did not complete and whose writer is
// gone (closed files included) and marks such jobs failed; also removes
// files that a creation cut short left without a catalog entry, and drops
// the unfinished uploads that no live job's file owns. Never
// touches a live job's files or anything outside the store's files/.
// Idempotent. Throws StoreError (Unusable on a read-only store).
CleanupResult cleanup();

struct CheckResult {
    // What is wrong; empty: healthy. After a repair: what is still wrong.
    std::vector<std::string> problems;
    // How many of the problems, the first ones, are the catalog's or the
    // files', which a repair rebuilds from; the others (modes that let other
    // users write the store) it cannot mend.
    std::size_t repairable = 0;
    // What the repair found and put right.
    std::vector<std::string> repaired;
    unsigned long files = 0;       // archive files looked at
    unsigned long long bytes = 0;  // data bytes hashed
    // Closed archive files whose data was not read, for the bound of
    // CheckLimits::maxBytes: each names the file and its size. Their sizes
    // were compared; their digests were not.
    std::vector<std::string> unverified;
    // With problems: the jobs whose writers lived when the check ended (a
    // catalog rebuilt beside them would lose their work).
    std::size_t running = 0;
    // What is known and accepted, no problem: jobs marked damaged and what
    // is wrong with them, jobs whose deletion runs now.
    std::vector<std::string> notes;
    // The commands that help with the problems: `cleanup`, `delete J` or
    // `mark-damaged J`, `check --repair`; one line each.
    std::vector<std::string> advice;
};
// How far a check may go, and how it tells how far it got.
struct CheckLimits {
    // Reads the data of a closed archive file for its digest only while the
    // bytes read so far and its size stay within this (none: no bound; 0:
    // sizes only).
    std::optional<unsigned long long> maxBytes;
    // Called on the checking thread while data is read, after each chunk:
    // the bytes read so far in all, and the file being read.
    std::function<void(unsigned long long bytesRead, const std::string& file)> progress;
};
// Verifies the catalog against the files: every entry's data file and
// description exist and agree, closed files' size and SHA-256 match their
// data, every file has an entry, jobs' states agree with their files. With
// repair, a catalog that is lost, damaged or disagrees with the files is
// rebuilt from files/ and jobs/ alone beside the old one, which it replaces
// in one atomic step, the old one kept aside (catalog.db.damaged-<UTC time>);
// a failure or a kill before that step leaves the old catalog in place.
// Repair refuses (Failed) while a job is running. After interrupt(), stops
// between two archive files (Interrupted), the store as it was. Never opens
// archive data in a way that can block. Throws StoreError.
CheckResult check(bool repair);
// The same within limits. A signal (interrupt()) also stops a file's read
// between two chunks.
CheckResult check(bool repair, const CheckLimits& limits);

struct DeletionResult {
    std::vector<unsigned long long> jobs;  // the jobs deleted, in the order given
    // Their archive files that this call removed, with full paths, and
    // their data bytes.
    std::vector<ArchiveFileRecord> removed;
    unsigned long long bytes = 0;
    // Jobs that another command deleted, or has marked deleting and deletes
    // now, since they were listed (DeletionOptions::goneIsDone).
    std::vector<unsigned long long> deletedElsewhere;
    // Jobs in use, left whole (DeletionOptions::skipInUse).
    std::vector<unsigned long long> skipped;
};
// How deleteJobs meets jobs that other commands act on meanwhile.
struct DeletionOptions {
    // For a caller that listed every job it names as complete, damaged or
    // deleting: a job the store no longer has, or whose lock another
    // deleter holds once it is marked deleting, is counted in
    // deletedElsewhere, not refused.
    bool goneIsDone = false;
    // A job whose lock is held (a restore reads it) is left whole and named
    // in skipped, and the others are deleted, instead of refusing them all.
    bool skipInUse = false;
};
// Deletes complete (or damaged) jobs on purpose, with every file the store
// keeps of them, so that a kill at any instant leaves each either whole or
// marked "deleting", which the next cleanup finishes: first every job is
// checked, then each job's lock is taken exclusively without waiting, then
// the jobs are marked deleting in one transaction; their completion markers
// go, then their data files and descriptions, then their manifests, then
// their entries. Refuses before changing anything: a job the store does not
// have, or that is running or failed (Unusable, one line naming it), one
// whose lock another process holds, a restore reading it or another deleter
// (Failed, naming it). A failure after the marking leaves the jobs deleting
// (Failed). After interrupt(), stops before the next batch of jobs (a batch
// is up to 256 jobs; Interrupted). Throws StoreError (Unusable on a
// read-only store). options may count jobs gone meanwhile as done and skip
// jobs in use.
DeletionResult deleteJobs(const std::vector<unsigned long long>& jobIds,
                          const DeletionOptions& options = {});

// Marks complete jobs "damaged": kept and restorable file by file, no longer
// a problem for check. A job already marked stays so. Refuses (Unusable,
// before changing anything) a job the store does not have or that is not
// complete. Throws StoreError.
void markJobsDamaged(const std::vector<unsigned long long>& jobIds);

// A restore's hold on the job it reads: while it lives no deletion of the
// job begins. Released when destroyed; not shared between threads.
class JobReadHold {
public:
    virtual ~JobReadHold() = default;
    // The job's state when the hold was taken; empty when the catalog does
    // not know it.
    virtual const std::string& state() const = 0;
};
// Takes the open store's shared lock of job jobId without waiting, then
// looks at its state. Throws StoreError (Failed, one line naming the job)
// when the job is being deleted, or its lock is held exclusively (a
// deletion, or its writer). Works on a read-only store; a store its user may
// not write has no lock to take for a job that never had one, and the hold
// then holds nothing.
std::unique_ptr<JobReadHold> holdJobForReading(unsigned long long jobId);

// Asks the running job to stop, from any thread (a signal's, say): pauses
// end at once, and no archive file is created from then on, so that the
// library's setup fails fast and the agent can invalidate what was made.
// Lasts until the process ends.
void interrupt();
bool interrupted();

// The steps the platform tells an observer of by kind: those that show
// which stream a library call is at. Every other step is Other.
enum class StepKind {
    Other,
    Pause,                    // QISLEEP: a pause the library asked for
    ArchiveFileCreated,       // createArchiveFile, on a backup stream
    ArchiveFileClosed,        // closeAfile, on a backup stream
    ArchiveFilesInvalidated,  // invalidateArchFilesByJob
    ArchiveFileOpened,        // openArchiveFile, on a restore stream
    SeekSent,                 // SendXDRMessage of FSR_MSG_SEEK_TO_OFFSET
    CloseArchiveSent,         // SendXDRMessage of FSR_MSG_CLOSE_ARCHIVE
};

// One step: its kind, the backup stream it concerns (the archive file's
// group number; 0: none, or not known at that step), and its name and
// detail as the step counter and its log lines have them (detail: the
// message code for "SendXDRMessage", else 0).
struct StepEvent {
    StepKind kind = StepKind::Other;
    unsigned long stream = 0;
    const char* name = nullptr;
    unsigned long detail = 0;
};

// A step boundary: tells the step observer, if one is set, counts it, and
// kills the process (SIGKILL) when the count reaches Config::killAtStep, or
// sends it SIGTERM at Config::signalAtStep. Cheap when no observer is set
// and both are 0.
void crashPoint(const StepEvent& event);
// A step known by its name and detail: its kind is stepKindOf's, its stream
// not known.
void crashPoint(const char* step, unsigned long detail = 0);
// The kind the platform gives its step of this name and detail.
StepKind stepKindOf(const char* step, unsigned long detail);

// Told of every step boundary (crashPoint) with the step's name and detail,
// on the thread that makes the step, from any thread at once: it must be
// thread-safe and cheap. An agent uses it to see which phase a library call
// it made is in.
using StepObserver = std::function<void(const char* step, unsigned long detail)>;
// Makes observer (empty: none) the one told from now on, in place of any set
// before. The one replaced may still be told by steps under way on other
// threads: it must stay valid until every platform call that may reach it
// has returned.
void setStepObserver(StepObserver observer);
// Told of every step boundary as a StepEvent, under the same rules. One
// observer at a time: this one and setStepObserver's replace each other.
using StepEventObserver = std::function<void(const StepEvent& event)>;
void setStepEventObserver(StepEventObserver observer);

}  // namespace localplatform
