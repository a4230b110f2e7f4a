#pragma once

#include <string>

#include "stages/Codec.h"

// A stream's compression as an option names it.
struct CodecChoice {
    Codec codec = Codec::None;
    int level = 0;  // zstd's level (1 to 19); 0 for lz4 and none
};

// Parses `zstd` (level 3), `zstd:1` to `zstd:19`, `lz4` or `none`. Anything
// else throws badInput (exit 2) with one line naming `optionName` and what it
// accepts. Pure; thread-safe.
CodecChoice parseCodecOption(const std::string& optionName, const std::string& text);
