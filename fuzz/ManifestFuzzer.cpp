// The agent's manifest reader on arbitrary bytes. A manifest is a file the
// user names, so parseManifest may refuse one only with the agent's own
// AgentError: any other exception, a crash, a leak or undefined behaviour is
// a finding. And what it accepts must survive being written and read again:
// the text manifestText writes for an accepted manifest is accepted in turn,
// and written again it is the same text. The first format is read, never
// written (manifestText has no form for it), so its manifests stop after the
// first check.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "base/AgentError.h"
#include "manifest/Manifest.h"

namespace {

[[noreturn]] void broken(const std::string& what, const std::string& text) {
    std::fprintf(stderr, "invariant broken: %s\n--- written:\n%s", what.c_str(), text.c_str());
    __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    Manifest manifest;
    try {
        manifest = parseManifest(text, "fuzzed.json");
    } catch (const AgentError&) {
        return 0;
    }
    if (manifest.version == 1) return 0;
    const std::string written = manifestText(manifest);
    Manifest again;
    try {
        again = parseManifest(written, "written.json");
    } catch (const AgentError& error) {
        broken(std::string("the manifest written for an accepted one is refused: ") +
                   error.what(),
               written);
    }
    if (manifestText(again) != written) {
        broken("the manifest written for an accepted one reads back differently", written);
    }
    return 0;
}
