#include "maintenance/CheckVerdict.h"

#include "base/AgentError.h"
#include "base/Counted.h"

namespace {

// The first job the key given did not open, and how many more; empty when
// the key opened every one, or none was given.
std::string keyRefusal(const std::vector<std::string>& keyRefused) {
    if (keyRefused.empty()) return "";
    std::string refused = keyRefused.front();
    if (keyRefused.size() > 1) {
        refused += " (and " + counted(keyRefused.size() - 1, "more encrypted job") +
                   " the key does not open)";
    }
    return refused;
}

// The failure's line for problems left: their count, then what helps, as
// the advice lines say it, then what the key did not open.
std::string problemsLine(const localplatform::CheckResult& result,
                         const std::vector<std::string>& advice, const std::string& refused,
                         const std::string& store, bool repair) {
    std::string summary;
    for (const auto& line : advice) summary += "; " + line;
    if (!refused.empty()) summary += "; and " + refused;
    return "the store " + store + " has " + std::to_string(result.problems.size()) + " problem(s)" +
           (repair ? " that repair could not mend" : "") + summary;
}

// What was read: the archive files' data for their digests, then the frames
// of the jobs with stages, read again to verify them.
std::string checkedText(const CheckFindings& found) {
    const unsigned long long read = found.result.bytes + found.frames.bytes;
    std::string checked = counted(found.result.files, "archive file") + ", " +
                          std::to_string(read) + " bytes checked";
    const unsigned long long frames = found.frames.bytes - found.frames.heldBytes;
    std::string again;
    if (frames > 0) {
        again = std::to_string(frames) + " of them the stored frames of " +
                counted(found.frames.jobs, "job") + " with stages";
    }
    if (found.frames.heldBytes > 0) {
        again += (again.empty() ? "" : ", ") + std::to_string(found.frames.heldBytes) +
                 " of them the data that jobs refer to in other jobs' archive files";
    }
    if (!again.empty()) checked += " (" + again + ", read again)";
    return checked;
}

// What a bounded check did not read: closed files' data, parts' frames.
std::string unreadText(std::size_t files, std::size_t parts) {
    std::string unread;
    if (files > 0) unread = "the data of " + counted(files, "closed file");
    if (parts > 0) {
        unread += (files > 0 ? " and " : "") + std::string("the stored frames of ") +
                  counted(parts, "part") + " of jobs with stages";
    }
    return unread;
}

}  // namespace

void mergeFrameFindings(CheckFindings& found) {
    localplatform::CheckResult& result = found.result;
    const FrameVerification& frames = found.frames;
    for (const std::string& problem : frames.problems) result.problems.push_back(problem);
    result.notes.insert(result.notes.begin(), frames.notes.begin(), frames.notes.end());
    result.unverified.insert(result.unverified.end(), frames.unverified.begin(),
                             frames.unverified.end());
}

std::vector<std::string> checkAdvice(const localplatform::CheckResult& result, bool repair) {
    std::vector<std::string> advice;
    if (result.problems.empty()) return advice;
    bool wait = false;
    for (const auto& line : result.advice) {
        if (line.find("check --repair") == std::string::npos) {
            advice.push_back(line);
        } else if (result.running > 0) {
            wait = true;
        } else if (!repair) {
            advice.push_back(line);
        }
    }
    if (wait) {
        advice.push_back(std::to_string(result.running) +
                         (result.running == 1 ? " job is" : " jobs are") +
                         " running: check again after they end");
    }
    return advice;
}

void throwIfCheckFailed(const CheckFindings& found, const std::vector<std::string>& advice,
                        const std::string& store, bool repair) {
    const std::string refused = keyRefusal(found.frames.keyRefused);
    if (!found.result.problems.empty()) {
        throw jobFailed(problemsLine(found.result, advice, refused, store, repair));
    }
    if (!refused.empty()) throw jobFailed(refused);
}

std::string checkSummary(const CheckFindings& found, const std::string& store) {
    const std::string checked = checkedText(found);
    if (found.result.unverified.empty()) return "the store " + store + " is sound: " + checked;
    const std::size_t parts = found.frames.unverified.size();
    const std::size_t files = found.result.unverified.size() - parts;
    const bool one = files + parts == 1;
    return "no problem found in the store " + store + ": " + checked + "; " +
           unreadText(files, parts) + " " + (one ? "was" : "were") + " not read, only " +
           (one ? "its" : "their") + " size compared";
}
