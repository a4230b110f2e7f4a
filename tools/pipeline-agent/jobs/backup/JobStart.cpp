#include "jobs/backup/JobStart.h"

#include "inputs/ProducerCommand.h"
#include "base/Interrupt.h"
#include "session/StoreSession.h"
#include "platform/local/Interruption.h"
#include "platform/local/Jobs.h"
#include "platform/local/StoreSession.h"

void beginBackupJob(const localplatform::Config& config, const std::string& manifestPath,
                    unsigned long streams, JsonReport& json, bool takenOver) {
    try {
        if (!takenOver) localplatform::beginJob(config.jobId);
    } catch (const localplatform::StoreError& error) {
        throwStoreError(error, config);
    }
    onInterrupt([](int) {
        localplatform::interrupt();
        ProducerCommand::terminateRunning();
    });
    json.add({{"jobId", config.jobId},
              {"store", localplatform::storeDirectory()},
              {"log", localplatform::logFilePath()},
              {"manifest", manifestPath},
              {"streams", streams}});
}
