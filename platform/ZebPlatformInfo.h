#pragma once

#include <string>

#include "platform/PlatformApi.h"

// The settings store and facts about the machine.
class ZEB_PLATFORM_API ZebPlatformInfo {
public:
    ZebPlatformInfo();
    ~ZebPlatformInfo();

    // Nonzero when key exists in section; then *value holds its value.
    // Returns 0 and leaves *value alone otherwise.
    int getNumber(const char* section, const char* key, unsigned long* value);
    // The physical machine's name, valid while this object lives.
    const char* getPhysicalMachine();

private:
    std::string m_physicalMachine;
};
