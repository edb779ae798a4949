// The emulated meter reads whatever a host sends it. The input is a series of
// reports, each a length byte and that many bytes; the first byte picks the
// protocol version and the report lengths. Every reply must be a whole input
// report.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "kivemu/meter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    kivemu::meterIdentityT id;
    id.swver = data[0] & 0x07;                        // both sides of the version boundary
    const std::size_t inLen = 3 + (data[0] >> 3) * 4; // 3 to 127 bytes
    kivemu::meterT m(id, inLen, 65);
    m.faults().wrongMid = data[0] & 1;
    std::size_t at = 1;
    while (at < size) {
        const std::size_t n = data[at++];
        const std::size_t take = n < size - at ? n : size - at;
        kivemu::actionT a = m.handle(data + at, take);
        for (const auto& r : a.replies)
            if (r.report.size() != inLen)
                std::abort();
        at += take;
    }
    return 0;
}
