#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "keys/JobKeys.h"
#include "platform/local/Config.h"
#include "platform/local/Interruption.h"

// What check finds of the complete jobs whose bytes went through stages,
// and of the jobs that other jobs refer to.
struct FrameVerification {
    std::vector<std::string> problems;  // one line each
    std::vector<std::string> notes;     // what was not verified, and why
    unsigned long jobs = 0;             // jobs whose frames were looked at
    unsigned long long bytes = 0;       // stored bytes read
    unsigned long long heldBytes = 0;   // of them, read for the jobs that refer to them
    // Parts whose stored bytes were not read, for the bound: each names the
    // part and its stored size. Their place in the archive file was
    // compared with its size.
    std::vector<std::string> unverified;
    // Encrypted jobs that the key given did not open, and why: one line
    // each. Empty when no key was given.
    std::vector<std::string> keyRefused;
};

// How much of the stored bytes may be read, and how far the reading got.
struct FrameLimits {
    // The check's bound on archive data read (none: no bound; 0: sizes
    // only), of which `read` bytes went already.
    std::optional<unsigned long long> maxBytes;
    unsigned long long read = 0;
    // Called after each chunk: the bytes read in all (`read` included) and
    // the archive file being read.
    std::function<void(unsigned long long bytesRead, const std::string& file)> progress;
    // The jobs verified first, in this order; the others follow in the
    // catalog's order.
    std::vector<unsigned long long> readFirst;
};

// For every complete job whose manifest in the store is of format 4 (or 5
// with stages): each share's stored bytes, read from its archive file's
// data in the open store, must be storedSize long and match storedSha256. A
// job not encrypted, or one that `key` opens (a key file, or
// $PIPELINE_PASSPHRASE; never asked on the terminal), also has its frames
// decoded and verified and each share's bytes checked against its digest;
// an encrypted job without a key is checked as stored only, which a note
// says, and one that a key given does not open too, which keyRefused says.
// Every complete job's references (format 5) are verified too: the job
// referred to must be complete in the catalog with the archive files the
// reference names, closed and present (one line, referenceWhere's and
// referenceProblem's, for the first thing wrong), and each share of a file
// held there is verified as above with the holder's stages (jobView), named
// "job J: FILE, held by job H, stream K, archive file A". A file in pieces
// has each piece read as a restore reads it (checkPiece: its bytes, or its
// frames decoded, against the file's block digests), its own pieces with
// the job's shares and the pieces of other jobs with their references. A
// share or piece is read once however many jobs name it; one that does not
// fit in what is left of limits.maxBytes is not read (unverified). Reads only; throws
// AgentError when the catalog cannot be read, or interrupted between two
// chunks after localplatform::interrupt(). Thread rules: the command's
// thread.
FrameVerification verifyFramedJobs(const localplatform::Config& config, const KeySource& key,
                           const FrameLimits& limits = {});
