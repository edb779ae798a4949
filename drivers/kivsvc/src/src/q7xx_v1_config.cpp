#include "q7xx/v1/config.h"

#include <algorithm>

#include "messages.pb.h"
#include "q7xx/scaling.h"
#include "rux_logger_xface.h"

using kivsvc::q7xxConfigT;

namespace v1 {

int q720USBMsg_CONFIG::_format(unsigned char* pos) const {
    unsigned char* const start = pos;
    *pos++ = _f.first;
    pos = std::copy(_f.snum.begin(), _f.snum.end(), pos);
    *pos++ = _f.direction;
    *pos++ = _f.dirMode;
    *pos++ = _f.filter50Hz;
    *pos++ = _f.filterDim;
    *pos++ = _f.filterSens;
    *pos++ = _f.cutoff;
    *pos++ = _f.flowScale;
    *pos++ = _f.kgainMin;
    *pos++ = _f.kgainMax;
    *pos++ = _f.compCurve;
    *pos++ = _f.decPPL;
    *pos++ = _f.outDigits;
    *pos++ = _f.volUnit;
    *pos++ = _f.digOutMode;
    _write2(pos, _f.sensGain);
    _write2(pos, _f.adj4); // the second version has the 20 mA adjustment here
    _write2(pos, _f.adj20);
    _write4(pos, _f.ppl);
    _write4(pos, _f.doutThresh);
    _write4(pos, _f.doutLen);
    std::fill(pos, start + formatSize, 0);
    return formatSize;
}

int q720USBMsg_CONFIG::_parse(const unsigned char* pos, int len) {
    if (len < parseSize)
        return -1;
    _f.first = pos[0];
    std::copy(pos + 1, pos + 1 + _f.snum.size(), _f.snum.begin());
    _f.direction = pos[18];
    _f.dirMode = pos[19];
    _f.filter50Hz = pos[20];
    _f.filterDim = pos[21];
    _f.filterSens = pos[22];
    _f.cutoff = pos[23];
    _f.flowScale = pos[24];
    _f.kgainMin = pos[25];
    _f.kgainMax = pos[26];
    _f.compCurve = pos[27];
    _f.decPPL = pos[28];
    _f.outDigits = pos[29];
    _f.volUnit = pos[30];
    _f.digOutMode = pos[31];
    // The helpers count what they consume; the length was checked above.
    pos += 32;
    int n = 32;
    _f.sensGain = _read2(pos, n, len);
    _f.adj4 = _read2(pos, n, len);
    _f.adj20 = _read2(pos, n, len);
    _f.ppl = _read4(pos, n, len);
    _f.doutThresh = _read4(pos, n, len);
    _f.doutLen = _read4(pos, n, len);
    return n;
}

bool q720USBMsg_CONFIG::toCbusMsg(q7xxConfigT& out) const {
    q7xxCfgToCbus(_f, out);
    if (_f.flowScale != 0)
        out.set_cutoff_thresh(q7xx::decimal(_f.cutoff * 10.0L / _f.flowScale, 0));
    else // the threshold is counted in flow-scale units: none to count in
        q7xx::logLine(rux::log::ERROR, "toCbusMsg", "flowScale 0, cutoff threshold unknown");
    float factor = 0;
    if (q7xx::volumeFactor(_f.volUnit, factor))
        out.set_dout_thresh(
            static_cast<float>(q7xx::scaleDown(_f.doutThresh, _f.outDigits) / factor));
    out.set_kgain_min(q7xx::decimal(_f.kgainMin * 4.0L, 2));
    out.set_kgain_max(q7xx::decimal(_f.kgainMax * 0.25L, 2));
    return true;
}

bool q720USBMsg_CONFIG::fromCbusMsg(const q7xxConfigT& in) {
    return q7xxCfgFromCbus(_f, in, q7xxVersionT::v1);
}

bool q720USBMsg_CONFIG::checkCbusMsg(const q7xxConfigT& in) {
    q7xxCfgFieldsT scratch;
    return q7xxCfgFromCbus(scratch, in, q7xxVersionT::v1, true);
}

int q720USBMsg_HWSETTINGSREPLY::_parse(const unsigned char* pos, int len) {
    if (len < 2)
        return -1;
    _settings = pos[1];
    return len < 4 ? 2 : 4; // the 16-bit value at 2 is not interpreted
}

bool q720USBMsg_HWSETTINGSREPLY::toCbusMsg(q7xxConfigT& out) const {
    // Bits 1-3 inverted: 0 is the smallest pipe.
    static const kivsvc::hwCfgT sizes[8] = {kivsvc::D20,      kivsvc::D25,  kivsvc::D32,
                                            kivsvc::D40,      kivsvc::D50,  kivsvc::D63_110,
                                            kivsvc::D125_400, kivsvc::D_MAX};
    out.set_hardware_config(sizes[7 - ((_settings >> 1) & 7)]);
    out.set_out_type((_settings & 1) ? q7xxConfigT::outFREQ : q7xxConfigT::outCURRENT);
    return true;
}

} // namespace v1
