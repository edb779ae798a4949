// The emulated bootloader reads whatever a host sends it. The input is a
// series of reports, each a length byte and that many bytes; the first byte
// picks the input-report length and the fault knobs. Every reply must hold
// its header and fill the input report, and the flash image keeps its size.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "kivemu/boot.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const std::size_t inLen = 1 + (data[0] >> 3) * 4; // 1 to 125 bytes
    constexpr std::size_t flash = 256;                // small: writes often land inside
    kivemu::bootT b(kivemu::bootIdentityT(), flash, inLen, 64);
    b.bootFaults().fail = data[0] & 1;
    b.bootFaults().staleAck = (data[0] >> 1) & 1;
    b.faults().corrupt = (data[0] >> 2) & 1;
    std::size_t at = 1;
    while (at < size) {
        const std::size_t n = data[at++];
        const std::size_t take = n < size - at ? n : size - at;
        kivemu::actionT a = b.handle(data + at, take);
        for (const auto& r : a.replies)
            if (r.report.size() < 4 || r.report.size() < inLen || r.report[0] != 0xFF)
                std::abort();
        if (b.flash().size() != flash)
            std::abort();
        at += take;
    }
    return 0;
}
