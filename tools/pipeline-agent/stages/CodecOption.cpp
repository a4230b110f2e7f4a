#include "stages/CodecOption.h"

#include "base/AgentError.h"

namespace {

constexpr int kDefaultZstdLevel = 3;
constexpr int kMaxZstdLevel = 19;

}  // namespace

CodecChoice parseCodecOption(const std::string& optionName, const std::string& text) {
    if (text == "none") return {Codec::None, 0};
    if (text == "lz4") return {Codec::Lz4, 0};
    if (text == "zstd") return {Codec::Zstd, kDefaultZstdLevel};
    const std::string prefix = "zstd:";
    if (text.compare(0, prefix.size(), prefix) == 0) {
        const std::string digits = text.substr(prefix.size());
        // Plain decimal only, as the agent's other numbers: no sign, no
        // leading zero, no spaces.
        const bool plain = !digits.empty() && digits.size() <= 2 && digits[0] != '0' &&
                           digits.find_first_not_of("0123456789") == std::string::npos;
        if (plain) {
            const int level = std::stoi(digits);
            if (level >= 1 && level <= kMaxZstdLevel) return {Codec::Zstd, level};
        }
    }
    throw badInput(optionName + " must be zstd, zstd:1 to zstd:19, lz4 or none, not \"" + text + "\"");
}
