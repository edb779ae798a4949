// HID report descriptor reader: the report lengths and top-level usage that
// the HID socket layer hands to callers, computed as Windows' capabilities
// count them.
//
// Pure function over untrusted bytes (a device's descriptor): bounded work and
// memory, refuses malformed input instead of guessing. Thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rux {
namespace impl {

struct hidDescInfoT {
    bool numbered = false; // the device puts a report id in front of its reports
    uint16_t usage = 0;    // of the first application collection
    uint16_t usagePage = 0;
    // Largest report of the kind in bytes plus one for the report id; 0: none.
    uint16_t inputLen = 0;
    uint16_t outputLen = 0;
    uint16_t featureLen = 0;
};

// Largest report the kernel hands over (HID_MAX_BUFFER_SIZE).
constexpr size_t hidMaxReport = 16384;
// Longest descriptor read (HID_MAX_DESCRIPTOR_SIZE).
constexpr size_t hidMaxDescriptor = 4096;

// False when the descriptor is malformed: a truncated item, a report id of 0,
// an unbalanced pop or end of collection, nesting or a report beyond the
// bounds, or more than hidMaxDescriptor bytes.
bool parseHidDescriptor(const uint8_t* data, size_t size, hidDescInfoT& out);

} // namespace impl
} // namespace rux
