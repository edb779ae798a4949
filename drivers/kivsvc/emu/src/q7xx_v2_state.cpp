#include "kivemu/q7xx_v2_state.h"

#include <cmath>
#include <cstring>

namespace kivemu {
namespace v2 {

namespace {

// Little-endian fields at fixed offsets: the layouts, read as a table.
uint16_t u16(const bytesT& b, std::size_t at) {
    return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}
uint32_t u32(const bytesT& b, std::size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
           uint32_t(b[at + 3]) << 24;
}
float f32(const bytesT& b, std::size_t at) {
    const uint32_t v = u32(b, at);
    float f;
    std::memcpy(&f, &v, sizeof f);
    return f;
}
void set16(bytesT& b, std::size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void set32(bytesT& b, std::size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void setf(bytesT& b, std::size_t at, float f) {
    uint32_t v;
    std::memcpy(&v, &f, sizeof v);
    set32(b, at, v);
}

} // namespace

configT configT::decode(const bytesT& b) {
    configT c;
    if (b.size() < 52)
        return c;
    c.first = b[0];
    c.snum.assign(b.begin() + 1, b.begin() + 18);
    c.direction = b[18];
    c.dirMode = b[19];
    c.filter50Hz = b[20];
    c.filterDim = b[21];
    c.filterSens = b[22];
    c.cutoff = b[23];
    c.flowScale = b[24];
    c.byte25 = b[25];
    c.byte26 = b[26];
    c.byte27 = b[27];
    c.decPPL = b[28];
    c.outDigits = b[29];
    c.volUnit = b[30];
    c.digOutMode = b[31];
    c.sensGain = u16(b, 32);
    c.adj20 = u16(b, 34);
    c.adj4 = u16(b, 36);
    c.ppl = u32(b, 38);
    c.doutThresh = u32(b, 42);
    c.doutLen = u32(b, 46);
    c.customDiam = u16(b, 50);
    return c;
}

bytesT configT::encode() const {
    bytesT b(60, 0);
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
    b[25] = byte25;
    b[26] = byte26;
    b[27] = byte27;
    b[28] = decPPL;
    b[29] = outDigits;
    b[30] = volUnit;
    b[31] = digOutMode;
    set16(b, 32, sensGain);
    set16(b, 34, adj20);
    set16(b, 36, adj4);
    set32(b, 38, ppl);
    set32(b, 42, doutThresh);
    set32(b, 46, doutLen);
    set16(b, 50, customDiam);
    return b;
}

double configT::pplValue() const {
    double v = ppl;
    for (int i = 0; i < decPPL; ++i)
        v /= 10;
    return v;
}

extdT extdT::decode(const bytesT& b) {
    extdT e;
    if (b.size() < 52)
        return e;
    e.flow4 = f32(b, 0);
    e.flow20 = f32(b, 4);
    e.doutThresh = f32(b, 8);
    e.doutThresh2 = f32(b, 12);
    e.doutHyst = f32(b, 16);
    e.flowUnit = b[20];
    e.gainMode = b[21];
    e.byte22 = b[22];
    e.simCurrent = b[23];
    e.simDigOut = b[24];
    e.simDir = b[25];
    e.simFreqOut = u16(b, 26);
    e.simCurrentOut = f32(b, 28);
    e.simDigitalOut = b[32];
    e.simDirection = b[33];
    e.cutoffDelay = u16(b, 34);
    e.cutoffThresh = f32(b, 36);
    e.kgainMin = f32(b, 40);
    e.kgainMax = f32(b, 44);
    e.factorySensGain = f32(b, 48);
    return e;
}

bytesT extdT::encode() const {
    bytesT b(60, 0);
    setf(b, 0, flow4);
    setf(b, 4, flow20);
    setf(b, 8, doutThresh);
    setf(b, 12, doutThresh2);
    setf(b, 16, doutHyst);
    b[20] = flowUnit;
    b[21] = gainMode;
    b[22] = byte22;
    b[23] = simCurrent;
    b[24] = simDigOut;
    b[25] = simDir;
    set16(b, 26, simFreqOut);
    setf(b, 28, simCurrentOut);
    b[32] = simDigitalOut;
    b[33] = simDirection;
    set16(b, 34, cutoffDelay);
    setf(b, 36, cutoffThresh);
    setf(b, 40, kgainMin);
    setf(b, 44, kgainMax);
    setf(b, 48, factorySensGain);
    return b;
}

measureT measureT::decode(const bytesT& b) {
    measureT m;
    if (b.size() < 26)
        return m;
    m.alarm = b[0];
    m.direction = b[1];
    m.freq = u32(b, 2);
    m.totFlow = f32(b, 6);
    m.flow = f32(b, 10);
    m.current = f32(b, 14);
    m.kfactor = f32(b, 18);
    m.curve = u32(b, 22);
    return m;
}

bytesT measureT::encode() const {
    bytesT b(60, 0);
    b[0] = alarm;
    b[1] = direction;
    set32(b, 2, freq);
    setf(b, 6, totFlow);
    setf(b, 10, flow);
    setf(b, 14, current);
    setf(b, 18, kfactor);
    set32(b, 22, curve);
    return b;
}

measureT measurement(const configT& cfg, const extdT& extd, float flow, double total, bool q710) {
    measureT m;
    const double q = std::fabs(flow);
    m.direction = flow < 0 ? 255 : 1;
    m.flow = flow;
    m.totFlow = static_cast<float>(total);
    const double hz = q * cfg.pplValue();
    m.freq = hz < 4e9 ? static_cast<uint32_t>(hz) : 0xFFFFFFFFu;
    const double span = extd.flow20 - extd.flow4;
    double mA = span > 0 ? 4 + 16 * (q - extd.flow4) / span : 4;
    mA = mA < 4 ? 4 : (mA > 20 ? 20 : mA);
    m.current = static_cast<float>(mA);
    m.kfactor = extd.factorySensGain;
    m.curve = q710 ? 0 : cfg.byte27;
    m.alarm = 0;
    return m;
}

} // namespace v2
} // namespace kivemu
