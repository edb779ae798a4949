// Feeds arbitrary text to the configuration parser: it must never crash, hang or
// read out of bounds, whatever the file holds.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "ipc/startupcfg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    std::ostringstream diag;
    startupCfgT cfg;
    cfg.diagStream(diag);
    if (cfg.build(in, "fuzz.cfg")) {
        std::ostringstream dump;
        dump << cfg.defaults();
        for (const auto& s : cfg.services())
            dump << s;
    }
    return 0;
}
