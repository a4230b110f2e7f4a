#include "stages/Sodium.h"

#include <sodium.h>

#include <stdexcept>

void ensureSodium() {
    // sodium_init() is itself safe to call from several threads and more
    // than once; a static only saves the call after the first.
    static const int ready = sodium_init();
    if (ready < 0) throw std::runtime_error("libsodium failed to start");
}
