#include "kivemu/q7xx_v1_state.h"

namespace kivemu {
namespace v1 {

configT configT::decode(const bytesT& b) {
    configT c;
    if (b.size() < 50)
        return c;
    auto u16 = [&](std::size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); };
    auto u32 = [&](std::size_t at) {
        return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
               uint32_t(b[at + 3]) << 24;
    };
    c.first = b[0];
    c.snum.assign(b.begin() + 1, b.begin() + 18);
    c.direction = b[18];
    c.dirMode = b[19];
    c.filter50Hz = b[20];
    c.filterDim = b[21];
    c.filterSens = b[22];
    c.cutoff = b[23];
    c.flowScale = b[24];
    c.kgainMin = b[25];
    c.kgainMax = b[26];
    c.compCurve = b[27];
    c.decPPL = b[28];
    c.outDigits = b[29];
    c.volUnit = b[30];
    c.digOutMode = b[31];
    c.sensGain = u16(32);
    c.adj4 = u16(34);
    c.adj20 = u16(36);
    c.ppl = u32(38);
    c.doutThresh = u32(42);
    c.doutLen = u32(46);
    return c;
}

bytesT configT::encode() const {
    bytesT b(50, 0);
    auto set16 = [&](std::size_t at, uint16_t v) {
        b[at] = static_cast<uint8_t>(v);
        b[at + 1] = static_cast<uint8_t>(v >> 8);
    };
    auto set32 = [&](std::size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            b[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    b[0] = first;
    for (std::size_t i = 0; i < 17 && i < snum.size(); ++i)
        b[1 + i] = static_cast<uint8_t>(snum[i]);
    b[18] = direction;
    b[19] = dirMode;
    b[20] = filter50Hz;
    b[21] = filterDim;
    b[22] = filterSens;
    b[23] = cutoff;
    b[24] = flowScale;
    b[25] = kgainMin;
    b[26] = kgainMax;
    b[27] = compCurve;
    b[28] = decPPL;
    b[29] = outDigits;
    b[30] = volUnit;
    b[31] = digOutMode;
    set16(32, sensGain);
    set16(34, adj4);
    set16(36, adj20);
    set32(38, ppl);
    set32(42, doutThresh);
    set32(46, doutLen);
    return b;
}

uint8_t hwSettings(unsigned sizeCode, bool frequencyOutput) {
    return static_cast<uint8_t>(((7 - (sizeCode & 7)) << 1) | (frequencyOutput ? 1 : 0));
}

} // namespace v1
} // namespace kivemu
