// The library's own cost per job step, beside a floor: the same platform
// calls, records and log calls made by a hand-written loop (bench/Floors.h).
// The platform is the fake in Recording::CountsOnly, reused between runs, so
// that what is timed is the library and not the fake's journal; the fake's
// restarts and the untimed steps of a case happen outside the timed part.
//
// Every iteration runs the library side and the floor side once each, in
// alternating order, and times each with the steady clock; the benchmark's
// time is the library's. Counters:
//   lib/floor     lib_us over floor_us
//   lib_us        median library time of a run, in microseconds
//   floor_us      median floor time of a run
//   allocs/stream heap allocations per run and stream made outside platform
//                 calls (the library's own), for the library and the floor
//   platform_allocs/stream  those the platform made (the same on both sides)
//
// Before anything is measured, every floor is checked against the library
// with a journaling fake (bench/FloorCheck.h); the program stops if one
// differs; `pipeline_bench --check-floors` does only that. `pipeline_bench
// --instructions=N` runs N of each side under callgrind's control instead
// (see bench/run.sh).

#include <benchmark/benchmark.h>
#include <valgrind/callgrind.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/AllocationCount.h"
#include "bench/Cases.h"
#include "bench/FloorCheck.h"
#include "platform/fake/FakePlatform.h"

namespace {

using Clock = std::chrono::steady_clock;
using fakeplatform::FakePlatform;
using fakeplatform::Op;
using fakeplatform::Recording;

constexpr CaseKind kKinds[] = {CaseKind::BackupSetupAndClose, CaseKind::RestoreFirstRequest,
                               CaseKind::RestoreRepeatedRequest, CaseKind::RestoreOtherFiles,
                               CaseKind::RestoreCloseAndShutdown};
constexpr unsigned long kStreamCounts[] = {1, 8, 65};

constexpr std::size_t kOps = static_cast<std::size_t>(Op::SetExternalBuffer) + 1;
using OpCounts = std::array<long long, kOps>;

OpCounts countsOf(const FakePlatform& fake) {
    OpCounts counts{};
    for (std::size_t op = 0; op < kOps; ++op) counts[op] = fake.count(static_cast<Op>(op));
    return counts;
}

// What one side spent over all its runs.
struct Spent {
    std::vector<double> seconds;  // of each run
    AllocationCount allocations;
    OpCounts calls{};  // platform calls by operation
};

// The median of samples, which a run slowed down by other work on the
// machine moves less than it moves the mean.
double median(std::vector<double> samples) {
    if (samples.empty()) return 0;
    const auto middle = samples.begin() + static_cast<std::ptrdiff_t>(samples.size() / 2);
    std::nth_element(samples.begin(), middle, samples.end());
    return *middle;
}

void measure(benchmark::State& state, CaseKind kind) {
    const auto streams = static_cast<unsigned long>(state.range(0));
    FakePlatform fake(Recording::CountsOnly);
    const auto benchCase = makeCase(kind, streams, fake);
    benchCase->setUp();
    Spent spent[2];
    for (Spent& side : spent) side.seconds.reserve(static_cast<std::size_t>(state.max_iterations));
    bool ok = true;
    long long iteration = 0;
    for (auto _ : state) {
        const bool libraryFirst = iteration++ % 2 == 0;
        for (const bool first : {true, false}) {
            const Side side = first == libraryFirst ? Side::Library : Side::Floor;
            Spent& mine = spent[side == Side::Library ? 0 : 1];
            benchCase->prepare(side);
            const OpCounts callsBefore = countsOf(fake);
            const AllocationCount before = allocationsSoFar();
            const auto start = Clock::now();
            ok = benchCase->run(side) && ok;
            const auto end = Clock::now();
            mine.allocations += allocationsSoFar() - before;
            const OpCounts callsAfter = countsOf(fake);
            for (std::size_t op = 0; op < kOps; ++op) {
                mine.calls[op] += callsAfter[op] - callsBefore[op];
            }
            const double seconds = std::chrono::duration<double>(end - start).count();
            mine.seconds.push_back(seconds);
            if (side == Side::Library) state.SetIterationTime(seconds);
            benchCase->finish(side);
        }
    }
    benchCase->tearDown();
    if (!ok) {
        state.SkipWithError("a step failed");
        return;
    }
    if (spent[0].calls != spent[1].calls) {
        state.SkipWithError("the floor made other platform calls than the library");
        return;
    }
    const auto runs = static_cast<double>(state.iterations());
    const double perStream = runs * static_cast<double>(streams);
    const double library = median(spent[0].seconds);
    const double floor = median(spent[1].seconds);
    state.counters["lib/floor"] = library / floor;
    state.counters["lib_us"] = library * 1e6;
    state.counters["floor_us"] = floor * 1e6;
    state.counters["allocs/stream"] = static_cast<double>(spent[0].allocations.outside) / perStream;
    state.counters["floor_allocs/stream"] =
        static_cast<double>(spent[1].allocations.outside) / perStream;
    state.counters["platform_allocs/stream"] =
        static_cast<double>(spent[0].allocations.platform) / perStream;
}

void registerAll() {
    for (const CaseKind kind : kKinds) {
        auto* bench = benchmark::RegisterBenchmark(caseName(kind), measure, kind);
        for (const unsigned long streams : kStreamCounts) {
            bench->Arg(static_cast<long>(streams));
        }
        bench->UseManualTime()->Unit(benchmark::kMicrosecond);
    }
}

// Every floor against the library; false after printing the first difference.
bool floorsAreFaithful() {
    for (const CaseKind kind : kKinds) {
        for (const unsigned long streams : kStreamCounts) {
            const std::string difference = checkFloor(kind, streams);
            if (!difference.empty()) {
                std::fprintf(stderr, "floor differs from the library: %s\n", difference.c_str());
                return false;
            }
        }
    }
    return true;
}

// runs of each side of each case, the instructions of the measured parts
// collected by callgrind (started with --collect-atstart=no) and dumped per
// case and side under the label "<case>/<streams>/<library|floor>".
void countInstructions(long runs) {
    for (const CaseKind kind : kKinds) {
        for (const unsigned long streams : kStreamCounts) {
            FakePlatform fake(Recording::CountsOnly);
            const auto benchCase = makeCase(kind, streams, fake);
            benchCase->setUp();
            for (const Side side : {Side::Library, Side::Floor}) {
                // One run first, so that neither side pays for first touches.
                benchCase->prepare(side);
                benchCase->run(side);
                benchCase->finish(side);
                CALLGRIND_ZERO_STATS;
                for (long n = 0; n < runs; ++n) {
                    benchCase->prepare(side);
                    CALLGRIND_TOGGLE_COLLECT;
                    benchCase->run(side);
                    CALLGRIND_TOGGLE_COLLECT;
                    benchCase->finish(side);
                }
                const std::string label = std::string(caseName(kind)) + "/" +
                                          std::to_string(streams) + "/" +
                                          (side == Side::Library ? "library" : "floor");
                CALLGRIND_DUMP_STATS_AT(label.c_str());
            }
            benchCase->tearDown();
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (!floorsAreFaithful()) return 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--check-floors") == 0) return 0;
        if (std::strncmp(argv[i], "--instructions=", 15) == 0) {
            countInstructions(std::atol(argv[i] + 15));
            return 0;
        }
    }
    registerAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
