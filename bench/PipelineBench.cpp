// The library's own cost per job, with the platform answered by the fake
// (which records the per-stream pauses instead of sleeping them).
#include <benchmark/benchmark.h>

#include "backup/BackupPipelineSetup.h"
#include "platform/fake/FakePlatform.h"
#include "restore/RestorePipelineSetup.h"

namespace {

void BM_BackupSetupAndClose(benchmark::State& state) {
    const auto streams = static_cast<unsigned long>(state.range(0));
    for (auto _ : state) {
        fakeplatform::FakePlatform fake;
        BackupPipelineSetup job(1, 2, 3, "bench");
        benchmark::DoNotOptimize(job.setupPipeline(0, 1, streams, "bench"));
        benchmark::DoNotOptimize(job.closePipeline(1, false));
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_BackupSetupAndClose)->Arg(1)->Arg(8)->Arg(65);

// A restore request against the files already open: one seek per stream.
void BM_RestoreRequestReusingOpenFiles(benchmark::State& state) {
    const auto streams = static_cast<int>(state.range(0));
    fakeplatform::FakePlatform fake;
    std::vector<RestoreArchiveInfo> list(streams);
    for (int i = 0; i < streams; ++i) {
        list[i].trellanId = 1;
        list[i].afileId = static_cast<uint64_t>(i + 1);
    }
    RestorePipelineSetup job;
    job.setRestoreArchiveFileInfoList(list);
    job.setupPipeline();
    for (auto _ : state) {
        benchmark::DoNotOptimize(job.setupPipeline());
        state.PauseTiming();
        fake.clearJournal();
        state.ResumeTiming();
    }
    job.shutDownPipeline();
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_RestoreRequestReusingOpenFiles)->Arg(1)->Arg(65);

}  // namespace
