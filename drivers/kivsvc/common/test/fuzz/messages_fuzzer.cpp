// Parses arbitrary bytes as a client message; whatever parses must encode and
// parse back to the same bytes.
#include "kivsvc_common.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kivsvc::kivmsgT m;
    if (!m.ParseFromArray(data, static_cast<int>(size)))
        return 0;
    if (!m.IsInitialized())
        std::abort();
    std::string wire(m.ByteSizeLong(), '\0');
    if (!m.SerializeToArray(&wire[0], static_cast<int>(wire.size())))
        std::abort();
    kivsvc::kivmsgT back;
    if (!back.ParseFromString(wire) || back.SerializeAsString() != wire)
        std::abort();
    (void)m.DebugString();
    return 0;
}
