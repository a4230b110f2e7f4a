#include "session/StoreSession.h"

#include <csignal>
#include <cstring>

#include "base/AgentError.h"
#include "base/Interrupt.h"
#include "platform/local/StoreSession.h"

void throwStoreError(const localplatform::StoreError& error, const localplatform::Config& config) {
    using Kind = localplatform::StoreError::Kind;
    switch (error.kind()) {
    case Kind::NotFound:
        if (!config.storeDir.empty()) {
            throw badInput("there is no archive store at " + config.storeDir);
        }
        throw badInput(error.what());
    case Kind::Unusable:
    case Kind::JobExists: throw badInput(error.what());
    case Kind::Interrupted: {
        const int signal = interruptSignal() != 0 ? interruptSignal() : SIGINT;
        throw interrupted(signal, "interrupted by " + signalName(signal) + "; " +
                                      error.what());
    }
    case Kind::Failed:
    case Kind::Unreachable: break;
    }
    throw jobFailed(error.what());
}

void openStoreFor(const localplatform::Config& config, localplatform::Access access, bool create) {
    try {
        localplatform::openStore(config, access, create);
    } catch (const localplatform::StoreError& error) {
        if (error.kind() == localplatform::StoreError::Kind::Failed) {
            // Failing to open is failing before any work: the user's to fix.
            throw badInput(error.what());
        }
        throwStoreError(error, config);
    }
}
