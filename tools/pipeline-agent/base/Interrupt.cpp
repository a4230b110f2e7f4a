#include "base/Interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "base/AgentError.h"
#include "base/Console.h"

namespace {

std::atomic<int> g_signal{0};
std::mutex g_mutex;
std::function<void(int)> g_reaction;

sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

void waitForSignals() {
    const sigset_t set = stopSignals();
    for (;;) {
        int signal = 0;
        if (sigwait(&set, &signal) != 0) continue;
        int expected = 0;
        if (!g_signal.compare_exchange_strong(expected, signal)) {
            dropLiveLine();
            std::fprintf(stderr, "pipeline-agent: %s again; stopping at once\n",
                         signalName(signal).c_str());
            std::fflush(stderr);
            _exit(128 + expected);
        }
        try {
            printLine("pipeline-agent: " + signalName(signal) + "; stopping the job\n");
        } catch (...) {
            // No memory for the line: the job stops all the same.
        }
        std::lock_guard<std::mutex> lock(g_mutex);
        if (g_reaction) g_reaction(signal);
    }
}

}  // namespace

void installInterruptHandling() {
    ::signal(SIGPIPE, SIG_IGN);
    const sigset_t set = stopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread(waitForSignals).detach();
}

std::string signalName(int signal) {
    switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    default: return "signal " + std::to_string(signal);
    }
}

int interruptSignal() { return g_signal.load(); }

void throwIfInterrupted() {
    if (const int signal = g_signal.load()) {
        throw interrupted(signal, "interrupted by " + signalName(signal));
    }
}

void onInterrupt(std::function<void(int)> reaction) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_reaction = std::move(reaction);
    // A signal that came before there was a reaction to it gets it now.
    if (const int signal = g_signal.load(); signal != 0 && g_reaction) g_reaction(signal);
}
