// IPC message priority: a 3-bit header field holding 0 (most urgent) to 4.
//
// Plain value type, no locking. Converts to and from unsigned implicitly so that
// callers can write create(n, 2); constructing a value above maxVal is a framework
// assertion ("val > maxVal"), since only programming errors produce one; datagrams
// received with priority 5 to 7 are rejected by the wire parsers before they get here.
#pragma once

#include <cstdint>

#include "sal/assert.h"

namespace rux {
namespace impl {

class ipcPrioT {
public:
    static constexpr unsigned maxVal = 4;
    // Number of distinct priorities (one output queue each).
    static constexpr unsigned count = maxVal + 1;

    constexpr ipcPrioT() = default;
    ipcPrioT(unsigned val) : _val(uint8_t(val)) { RUX_FAULT_IF(val > maxVal); }

    // Comparisons and ordering (std::map keys) go through this conversion.
    operator unsigned() const { return _val; }

private:
    uint8_t _val = 0;
};

} // namespace impl
} // namespace rux
