// The library's own cost per job, with the platform answered by the fake
// (which records the per-stream pauses instead of sleeping them).
#include <benchmark/benchmark.h>

#include "backup/BackupPipelineSetup.h"
#include "platform/fake/FakePlatform.h"

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

}  // namespace
