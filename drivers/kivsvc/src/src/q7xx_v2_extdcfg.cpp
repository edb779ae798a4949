#include "q7xx/v2/extdcfg.h"

#include <algorithm>

#include "messages.pb.h"
#include "q7xx/scaling.h"
#include "rux_logger_xface.h"

using kivsvc::q7xxConfigT;

namespace v2 {

int q7xxUSBMsg_EXTDCFG::_format(unsigned char* pos) const {
    unsigned char* const start = pos;
    _write_float(pos, _f.flow4);
    _write_float(pos, _f.flow20);
    _write_float(pos, _f.doutThresh);
    _write_float(pos, _f.doutThresh2);
    _write_float(pos, _f.doutHyst);
    *pos++ = _f.flowUnit;
    *pos++ = _f.gainMode;
    *pos++ = static_cast<unsigned char>((_f.resetVolume ? 0x80 : 0) | (_f.simFreq & 0x7F));
    *pos++ = _f.simCurrent;
    *pos++ = _f.simDigOut;
    *pos++ = _f.simDir;
    _write2(pos, _f.simFreqOut);
    _write_float(pos, _f.simCurrentOut);
    *pos++ = _f.simDigitalOut;
    *pos++ = _f.simDirection;
    _write2(pos, _f.cutoffDelay);
    _write_float(pos, _f.cutoffThresh);
    _write_float(pos, _f.kgainMin);
    _write_float(pos, _f.kgainMax);
    _write_float(pos, _f.factorySensGain);
    std::fill(pos, start + formatSize, 0);
    return formatSize;
}

int q7xxUSBMsg_EXTDCFG::_parse(const unsigned char* pos, int len) {
    if (len < parseSize)
        return -1;
    int n = 0;
    _f.flow4 = _read_float(pos, n, len);
    _f.flow20 = _read_float(pos, n, len);
    _f.doutThresh = _read_float(pos, n, len);
    _f.doutThresh2 = _read_float(pos, n, len);
    _f.doutHyst = _read_float(pos, n, len);
    _f.flowUnit = pos[0];
    _f.gainMode = pos[1];
    // Bit 7 is the write-only totaliser reset: not a simulation switch.
    _f.simFreq = pos[2] & 0x7F;
    _f.simCurrent = pos[3];
    _f.simDigOut = pos[4];
    _f.simDir = pos[5];
    pos += 6;
    n += 6;
    len -= 6;
    _f.simFreqOut = _read2(pos, n, len);
    _f.simCurrentOut = _read_float(pos, n, len);
    _f.simDigitalOut = pos[0];
    _f.simDirection = pos[1];
    pos += 2;
    n += 2;
    len -= 2;
    _f.cutoffDelay = _read2(pos, n, len);
    _f.cutoffThresh = _read_float(pos, n, len);
    _f.kgainMin = _read_float(pos, n, len);
    _f.kgainMax = _read_float(pos, n, len);
    _f.factorySensGain = _read_float(pos, n, len);
    return parseSize; // bytes 52-59 are not interpreted
}

bool q7xxUSBMsg_EXTDCFG::toCbusMsg(q7xxConfigT& out) const {
    auto unknown = [](const char* what) { q7xx::logLine(rux::log::ERROR, "toCbusMsg", what); };
    if (kivsvc::flowUnitT_IsValid(_f.flowUnit))
        out.set_flow_unit(static_cast<kivsvc::flowUnitT>(_f.flowUnit));
    else
        unknown("unknown flow unit");
    out.set_flow_4ma(_f.flow4);
    out.set_flow_20ma(_f.flow20);
    out.set_dout_thresh(_f.doutThresh);
    out.set_dout_thresh_2(_f.doutThresh2);
    out.set_dout_hyst(_f.doutHyst);
    if (q7xxConfigT::gain_strength_modeT_IsValid(_f.gainMode))
        out.set_gain_strength_mode(static_cast<q7xxConfigT::gain_strength_modeT>(_f.gainMode));
    else
        unknown("unknown gain strenght mode");
    out.set_simu_freq_enabled(_f.simFreq != 0);
    out.set_simu_current_enabled(_f.simCurrent != 0);
    out.set_simu_digiout_enabled(_f.simDigOut != 0);
    out.set_simu_direction_enabled(_f.simDir != 0);
    out.set_simu_freq_output(_f.simFreqOut);
    out.set_simu_current_output(_f.simCurrentOut);
    out.set_simu_digital_output(_f.simDigitalOut != 0);
    if (_f.simDirection == 1)
        out.set_simu_direction(kivsvc::forward);
    else if (_f.simDirection == 255)
        out.set_simu_direction(kivsvc::reverse);
    else
        unknown("unknown simu_direction");
    out.set_cutoff_delay(_f.cutoffDelay);
    out.set_cutoff_thresh(_f.cutoffThresh);
    out.set_kgain_min(_f.kgainMin);
    out.set_kgain_max(_f.kgainMax);
    out.set_factory_sens_gain(_f.factorySensGain);
    out.set_reset_volume(false);
    return true;
}

bool q7xxUSBMsg_EXTDCFG::fromCbusMsg(const q7xxConfigT& in) {
    return _apply(in, false);
}

bool q7xxUSBMsg_EXTDCFG::checkCbusMsg(const q7xxConfigT& in) {
    q7xxUSBMsg_SETEXTDCFG scratch{q7xxUSBMsg_EXTDCFGREPLY()};
    return scratch._apply(in, true);
}

bool q7xxUSBMsg_EXTDCFG::_apply(const q7xxConfigT& in, bool checkOnly) {
    // Present: copied. Absent: the meter's value stays, and for these six
    // the client is told.
    auto copy = [&](bool has, const char* name, float v, float& to) {
        if (has) {
            if (!q7xx::finite(name, v))
                return false;
            to = v;
        } else if (!checkOnly) {
            q7xx::logLine(rux::log::WARNING, "fromCbusMsg", std::string(name) + " missing");
        }
        return true;
    };
    auto keep = [](bool has, const char* name, float v, float& to) {
        if (!has)
            return true;
        if (!q7xx::finite(name, v))
            return false;
        to = v;
        return true;
    };
    if (in.has_flow_unit())
        _f.flowUnit = static_cast<unsigned char>(in.flow_unit());
    else if (!checkOnly)
        q7xx::logLine(rux::log::WARNING, "fromCbusMsg", "flow_unit missing");
    if (!copy(in.has_flow_4ma(), "flow_4ma", in.flow_4ma(), _f.flow4) ||
        !copy(in.has_flow_20ma(), "flow_20ma", in.flow_20ma(), _f.flow20) ||
        !copy(in.has_dout_thresh(), "dout_thresh", in.dout_thresh(), _f.doutThresh) ||
        !copy(in.has_dout_thresh_2(), "dout_thresh_2", in.dout_thresh_2(), _f.doutThresh2) ||
        !copy(in.has_dout_hyst(), "dout_hyst", in.dout_hyst(), _f.doutHyst))
        return false;
    if (in.has_gain_strength_mode())
        _f.gainMode = static_cast<unsigned char>(in.gain_strength_mode());
    if (in.has_simu_freq_enabled())
        _f.simFreq = in.simu_freq_enabled() ? 1 : 0;
    if (in.has_simu_current_enabled())
        _f.simCurrent = in.simu_current_enabled() ? 1 : 0;
    if (in.has_simu_digiout_enabled())
        _f.simDigOut = in.simu_digiout_enabled() ? 1 : 0;
    if (in.has_simu_direction_enabled())
        _f.simDir = in.simu_direction_enabled() ? 1 : 0;
    if (in.has_simu_freq_output() &&
        !q7xx::toU16("simu_freq_output", in.simu_freq_output(), _f.simFreqOut))
        return false;
    if (!keep(in.has_simu_current_output(), "simu_current_output", in.simu_current_output(),
              _f.simCurrentOut))
        return false;
    if (in.has_simu_digital_output())
        _f.simDigitalOut = in.simu_digital_output() ? 1 : 0;
    if (in.has_simu_direction())
        _f.simDirection = in.simu_direction() == kivsvc::forward ? 1 : 255;
    if (in.has_cutoff_delay() && !q7xx::toU16("cutoff_delay", in.cutoff_delay(), _f.cutoffDelay))
        return false;
    if (!keep(in.has_cutoff_thresh(), "cutoff_thresh", in.cutoff_thresh(), _f.cutoffThresh) ||
        !keep(in.has_kgain_min(), "kgain_min", in.kgain_min(), _f.kgainMin) ||
        !keep(in.has_kgain_max(), "kgain_max", in.kgain_max(), _f.kgainMax) ||
        !keep(in.has_factory_sens_gain(), "factory_sens_gain", in.factory_sens_gain(),
              _f.factorySensGain))
        return false;
    _f.resetVolume = in.has_reset_volume() && in.reset_volume();
    return true;
}

} // namespace v2
