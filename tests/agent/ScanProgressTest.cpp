// The progress of a long check: when it is shown, on a terminal and off
// one, and what is left of it at the end. A fake clock drives it.

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "report/ScanProgress.h"

using namespace std::chrono_literals;

namespace {

struct Harness {
    std::chrono::steady_clock::time_point now{};
    std::string written;

    ProgressOutput output(bool terminal, unsigned columns = 200) {
        ProgressOutput out;
        out.terminal = terminal;
        out.columns = columns;
        out.write = [this](const std::string& text) { written += text; };
        return out;
    }
    ScanProgress::Clock clock() {
        return [this] { return now; };
    }
};

constexpr unsigned long long kMiB = 1 << 20;

TEST(ScanProgressTest, OnATerminalOneLineIsRedrawnFourTimesASecond) {
    Harness h;
    {
        ScanProgress progress("check", h.output(true), h.clock());
        progress.update(kMiB, "/s/files/1.arch");
        EXPECT_EQ(h.written, "\r\033[Kcheck: 1.0 MiB read in 0 s; reading /s/files/1.arch");
        h.written.clear();
        h.now += 100ms;
        progress.update(2 * kMiB, "/s/files/1.arch");
        EXPECT_EQ(h.written, "");
        h.now += 200ms;
        progress.update(3 * kMiB, "/s/files/2.arch");
        EXPECT_EQ(h.written, "\r\033[Kcheck: 3.0 MiB read in 0 s; reading /s/files/2.arch");
        h.written.clear();
    }
    // Gone at the end, so that the result lines start on a clean line.
    EXPECT_EQ(h.written, "\r\033[K");
}

TEST(ScanProgressTest, ALiveLineNeverWraps) {
    Harness h;
    ScanProgress progress("check --repair", h.output(true, 30), h.clock());
    progress.update(5 * kMiB, "/a/rather/long/store/path/files/17.arch");
    // 29 characters: the last column stays free.
    EXPECT_EQ(h.written, "\r\033[Kcheck --repair: 5.0 MiB read ");
}

TEST(ScanProgressTest, OffATerminalAPlainLineEveryFiveSeconds) {
    Harness h;
    {
        ScanProgress progress("check", h.output(false), h.clock());
        progress.update(kMiB, "/s/files/1.arch");
        h.now += 4s;
        progress.update(2 * kMiB, "/s/files/1.arch");
        EXPECT_EQ(h.written, "");  // a short check prints nothing
        h.now += 1s;
        progress.update(1536 * kMiB, "/s/files/1.arch");
        EXPECT_EQ(h.written,
                  "pipeline-agent: progress: check: 1536.0 MiB read in 5 s; reading "
                  "/s/files/1.arch\n");
        h.written.clear();
        h.now += 4s;
        progress.update(1600 * kMiB, "/s/files/1.arch");
        EXPECT_EQ(h.written, "");
    }
    EXPECT_EQ(h.written, "");  // nothing to clear
}

}  // namespace
