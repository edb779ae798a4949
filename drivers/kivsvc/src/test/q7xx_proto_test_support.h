// Helpers for the protocol-version tests: payload images written from the
// report layouts, independent of the code under test.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "q7xx/usbmsg.h"
#include "q7xx_test_support.h"

namespace q7xxtest {

inline void put2(bytesT& b, std::size_t at, unsigned v) {
    b[at] = static_cast<unsigned char>(v);
    b[at + 1] = static_cast<unsigned char>(v >> 8);
}

inline void put4(bytesT& b, std::size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

inline void putf(bytesT& b, std::size_t at, float f) {
    uint32_t v;
    std::memcpy(&v, &f, sizeof v);
    put4(b, at, v);
}

inline uint32_t get4(const bytesT& b, std::size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
           uint32_t(b[at + 3]) << 24;
}

inline unsigned get2(const bytesT& b, std::size_t at) {
    return unsigned(b[at]) | unsigned(b[at + 1]) << 8;
}

inline float getf(const bytesT& b, std::size_t at) {
    const uint32_t v = get4(b, at);
    float f;
    std::memcpy(&f, &v, sizeof f);
    return f;
}

// Parses `payload` into `msg` as a reply of a 65-byte input report.
inline bool feed(q7xxUSBMsgT& msg, const bytesT& payload, std::size_t len = 65) {
    const bytesT r = report(msg.rid(), msg.mid(), payload, len, payload.size() + 2);
    return msg.parse(r.data(), static_cast<int>(r.size()));
}

// The payload `msg` formats (the frame without ids and checksum).
inline bytesT payloadOf(q7xxUSBMsgT& msg) {
    bytesT buf(q7xxUSBMsgT::maxFrame, 0);
    const int n = msg.format(buf.data());
    if (n < 3)
        return bytesT();
    return bytesT(buf.begin() + 2, buf.begin() + n - 1);
}

// Whether any captured line equals `line` ("<LEVEL>: ...").
inline bool logged(const driverLogT& log, const std::string& line) {
    for (const auto& l : log.lines())
        if (l.find(line) != std::string::npos)
            return true;
    return false;
}

// A second-version configuration with every field at a distinct valid value.
inline bytesT v2ConfigPayload() {
    bytesT p(60, 0);
    p[0] = 0xA5;
    const std::string sn = "SN-0123456789ABCD"; // 17 bytes
    for (std::size_t i = 0; i < 17; ++i)
        p[1 + i] = static_cast<unsigned char>(sn[i]);
    p[18] = 255;         // reverse
    p[19] = 1;           // bidirectional
    p[20] = 0;           // 60 Hz
    p[21] = 32;          // filter width
    p[22] = 3;           // sensitivity
    p[23] = 17;          // cut-off (not read)
    p[24] = 25;          // flow scale 2.5
    p[25] = 0x11;        // kept
    p[26] = 0x22;        // kept
    p[27] = 2;           // compensation curve / sensor type
    p[28] = 3;           // decPPL
    p[29] = 2;           // pulse digits
    p[30] = 1;           // dm3
    p[31] = 4;           // fin_in
    put2(p, 32, 5700);   // sensor gain 0.57
    put2(p, 34, 1234);   // 20 mA
    put2(p, 36, 321);    // 4 mA
    put4(p, 38, 123456); // PPL 123.456
    put4(p, 42, 777);    // output threshold (not read)
    put4(p, 46, 25);     // pulse length 2.5
    put2(p, 50, 80);     // custom diameter
    return p;
}

} // namespace q7xxtest
