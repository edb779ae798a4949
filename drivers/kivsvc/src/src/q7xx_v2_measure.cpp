#include "q7xx/v2/measure.h"

#include "messages.pb.h"
#include "q7xx/scaling.h"
#include "rux_logger_xface.h"

namespace v2 {

int q7xxUSBMsg_MEASURE::_parse(const unsigned char* pos, int len) {
    if (len < parseSize)
        return -1;
    int n = 0;
    _f.alarm = *pos++;
    _f.direction = *pos++;
    n = 2;
    _f.freq = _read4(pos, n, len);
    _f.totFlow = _read_float(pos, n, len);
    _f.flow = _read_float(pos, n, len);
    _f.current = _read_float(pos, n, len);
    _f.kfactor = _read_float(pos, n, len);
    _f.curve = _read4(pos, n, len);
    return parseSize; // bytes 26-59 are not interpreted
}

bool q7xxUSBMsg_MEASURE::toCbusMsg(kivsvc::q7xxMeasureT& out) const {
    if (kivsvc::q7xxMeasureT::alarmT_IsValid(_f.alarm))
        out.set_alarm(static_cast<kivsvc::q7xxMeasureT::alarmT>(_f.alarm));
    else
        q7xx::logLine(rux::log::ERROR, "toCbusMsg", "unknown alarm");
    if (_f.direction == 1)
        out.set_direction(kivsvc::forward);
    else if (_f.direction == 255)
        out.set_direction(kivsvc::reverse);
    else
        q7xx::logLine(rux::log::ERROR, "toCbusMsg", "unknown direction");
    out.set_freq(_f.freq);
    out.set_tot_flow(_f.totFlow);
    out.set_flow(_f.flow);
    out.set_current(_f.current);
    out.set_kfactor(_f.kfactor);
    out.set_curve(_f.curve);
    return true;
}

} // namespace v2
