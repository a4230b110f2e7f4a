#pragma once

// The measured cases: one job step done once through the library and once by
// its floor, against the live fake. A case is driven as
//   setUp, then per run: prepare(side), run(side) (the part measured),
//   finish(side); at the end tearDown.
// Both sides of a case see the same inputs and leave the fake as they found
// it, so that their runs can alternate.

#include <memory>
#include <string>

namespace fakeplatform {
class FakePlatform;
}

enum class Side { Library, Floor };

enum class CaseKind {
    BackupSetupAndClose,      // setupPipeline + closePipeline, constructor to destructor
    RestoreFirstRequest,      // setupPipeline on a new job: open and seek every file
    RestoreRepeatedRequest,   // setupPipeline on the files already open: seek only
    RestoreOtherFiles,        // setupPipeline on other files: close, open and seek
    RestoreCloseAndShutdown,  // closePipeline() + shutDownPipeline() + destructor
};

const char* caseName(CaseKind kind);

class BenchCase {
public:
    virtual ~BenchCase() = default;
    virtual void setUp() {}
    virtual void prepare(Side side) = 0;
    // True when every step succeeded.
    virtual bool run(Side side) = 0;
    virtual void finish(Side side) = 0;
    virtual void tearDown() {}
};

// The case over streams streams on fake, which must stay alive as long.
std::unique_ptr<BenchCase> makeCase(CaseKind kind, unsigned long streams,
                                    fakeplatform::FakePlatform& fake);
