// Feeds arbitrary text to the emulated-device description reader: whatever
// it accepts must write back out as text that reads the same.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "sal/usbhidemu.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    rux::usbHidEmuDescT d;
    if (!rux::usbHidEmuDescT::parse(text, d))
        return 0;
    rux::usbHidEmuDescT back;
    if (!rux::usbHidEmuDescT::parse(d.to_text(), back) || back.id != d.id ||
        back.caps.inputReportByteLength != d.caps.inputReportByteLength ||
        back.caps.outputReportByteLength != d.caps.outputReportByteLength ||
        back.description != d.description || back.serial != d.serial)
        std::abort();
    return 0;
}
