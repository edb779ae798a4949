// Feeds arbitrary bytes to the HID report descriptor reader, checking that
// what it accepts is within the bounds it promises.
#include <cstdint>
#include <cstdlib>
#include <initializer_list>

#include "hiddesc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    rux::impl::hidDescInfoT info;
    if (!rux::impl::parseHidDescriptor(data, size, info))
        return 0;
    if (size > rux::impl::hidMaxDescriptor)
        std::abort();
    for (uint16_t len : {info.inputLen, info.outputLen, info.featureLen})
        if (len > rux::impl::hidMaxReport)
            std::abort(); // no report beyond what the kernel hands over
    rux::impl::hidDescInfoT again;
    if (!rux::impl::parseHidDescriptor(data, size, again) || again.inputLen != info.inputLen ||
        again.outputLen != info.outputLen || again.numbered != info.numbered)
        std::abort(); // no hidden state between calls
    return 0;
}
