#include "q7xx/v2/config.h"

#include <algorithm>
#include <sstream>

#include "messages.pb.h"
#include "q7xx/scaling.h"
#include "rux_logger_xface.h"

namespace v2 {

int q7xxUSBMsg_CONFIG::_format(unsigned char* pos) const {
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
    *pos++ = _byte27();
    *pos++ = _f.decPPL;
    *pos++ = _f.outDigits;
    *pos++ = _f.volUnit;
    *pos++ = _f.digOutMode;
    _write2(pos, _f.sensGain);
    _write2(pos, _f.adj20);
    _write2(pos, _f.adj4);
    _write4(pos, _f.ppl);
    _write4(pos, _f.doutThresh);
    _write4(pos, _f.doutLen);
    _write2(pos, _f.customDiam);
    std::fill(pos, start + formatSize, 0);
    return formatSize;
}

int q7xxUSBMsg_CONFIG::_parse(const unsigned char* pos, int len) {
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
    _byte27(pos[27]);
    _f.decPPL = pos[28];
    _f.outDigits = pos[29];
    _f.volUnit = pos[30];
    _f.digOutMode = pos[31];
    // The helpers count what they consume; the length was checked above.
    pos += 32;
    int n = 32;
    _f.sensGain = _read2(pos, n, len);
    _f.adj20 = _read2(pos, n, len);
    _f.adj4 = _read2(pos, n, len);
    _f.ppl = _read4(pos, n, len);
    _f.doutThresh = _read4(pos, n, len);
    _f.doutLen = _read4(pos, n, len);
    _f.customDiam = _read2(pos, n, len);
    return n + 8; // bytes 52-59 are not interpreted
}

bool q7xxUSBMsg_CONFIG::toCbusMsg(kivsvc::q7xxConfigT& out) const {
    q7xxCfgToCbus(_f, out);
    out.set_custom_diam(_f.customDiam);
    // Only the Q710 layout carries a sensor type; other models read as 0.
    if (_f.sensorType <= 3)
        out.set_sensor_type(static_cast<kivsvc::q7xxConfigT::sensorTypeT>(_f.sensorType));
    else
        q7xx::logLine(rux::log::ERROR, "toCbusMsg", "unknown sensorType");
    return true;
}

bool q7xxUSBMsg_CONFIG::fromCbusMsg(const kivsvc::q7xxConfigT& in) {
    return q7xxCfgFromCbus(_f, in, q7xxVersionT::v2);
}

bool q7xxUSBMsg_CONFIG::checkCbusMsg(const kivsvc::q7xxConfigT& in) {
    q7xxCfgFieldsT scratch;
    return q7xxCfgFromCbus(scratch, in, q7xxVersionT::v2, true);
}

int q710USBMsg_CONFIG::_format(unsigned char* pos) const {
    const int n = q7xxUSBMsg_CONFIG::_format(pos);
    rux::loggerT log("driver");
    {
        rux::loggerT::logbufT l(log, rux::log::WARNING, "_format");
        l << "*********************** _format sensorType:" << static_cast<char>(_f.sensorType)
          << "\n";
    }
    rux::loggerT::logbufT l(log, rux::log::WARNING, "_format");
    l << " usb -> PPL:" << _f.ppl << " decPPL:" << static_cast<int>(_f.decPPL) << "\n";
    return n;
}

} // namespace v2
