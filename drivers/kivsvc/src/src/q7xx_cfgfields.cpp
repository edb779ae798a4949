#include "q7xx/cfgfields.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "messages.pb.h"
#include "q7xx/scaling.h"
#include "q7xx/usbmsg.h"
#include "rux_logger_xface.h"

using kivsvc::q7xxConfigT;

namespace {

void unknown(const char* what) {
    q7xx::logLine(rux::log::ERROR, "toCbusMsg", std::string("unknown ") + what);
}

void notice(bool quiet, const std::string& text) {
    if (!quiet)
        q7xx::logLine(rux::log::WARNING, "fromCbusMsg", text);
}

const char* const noCustomCurve =
    "cannot set custom compensation curve in this FW version, option is not supported";

} // namespace

void q7xxCfgToCbus(const q7xxCfgFieldsT& f, q7xxConfigT& out) {
    if (f.compCurve <= 3)
        out.set_ccurve_id(static_cast<kivsvc::compCurveIdT>(f.compCurve));
    else
        unknown("compCurve");
    out.set_outpulse_digits(f.outDigits);
    if (f.volUnit <= 2)
        out.set_vol_unit(static_cast<kivsvc::volUnitT>(f.volUnit));
    else
        unknown("totUnit");
    if (f.digOutMode <= 5)
        out.set_dout_mode(static_cast<q7xxConfigT::digOutModeT>(f.digOutMode));
    else
        unknown("digOutMode");
    if (f.direction == 1)
        out.set_direction(kivsvc::forward);
    else if (f.direction == 255)
        out.set_direction(kivsvc::reverse);
    else
        unknown("direction");
    if (f.dirMode <= 1)
        out.set_dir_mode(static_cast<kivsvc::dirModeT>(f.dirMode));
    else
        unknown("bidirectional");
    if (f.filter50Hz == 1)
        out.set_pl_filter(q7xxConfigT::f_50hz);
    else if (f.filter50Hz == 0)
        out.set_pl_filter(q7xxConfigT::f_60hz);
    else
        unknown("filter50Hz");
    if (q7xxConfigT::mfilterDimT_IsValid(f.filterDim))
        out.set_mfilter_width(static_cast<q7xxConfigT::mfilterDimT>(f.filterDim));
    else
        unknown("filterDim");
    if (q7xxConfigT::mfilterSensT_IsValid(f.filterSens))
        out.set_mfilter_sens(static_cast<q7xxConfigT::mfilterSensT>(f.filterSens));
    else
        unknown("filterSens");
    out.set_flow_scale(q7xx::decimal(f.flowScale, 1));
    out.set_ppl(q7xx::decimal(f.ppl, f.decPPL));
    out.set_dout_len(q7xx::decimal(f.doutLen, 1));
    out.set_sens_gain(q7xx::decimal(f.sensGain, 4));
    out.set_adj_4ma(f.adj4);
    out.set_adj_20ma(f.adj20);
    out.set_snum(f.snum.data(), f.snum.size());
}

bool q7xxCfgFromCbus(q7xxCfgFieldsT& f, const q7xxConfigT& in, q7xxVersionT v, bool checkOnly) {
    const bool v1 = v == q7xxVersionT::v1;
    if (v1 && (in.has_custom_diam() || in.has_diam()))
        notice(checkOnly, "cannot set pipe diameter in this FW version, option is not supported, "
                          "use jumpers instead");
    // 1, 2: compensation curve
    if (in.has_custom_fwd_ccurve() || in.has_custom_rev_ccurve())
        notice(checkOnly, noCustomCurve);
    if (in.has_ccurve_id()) {
        if (in.ccurve_id() == kivsvc::custom)
            notice(checkOnly, noCustomCurve);
        else
            f.compCurve = static_cast<unsigned char>(in.ccurve_id());
    }
    // 3
    if (in.has_outpulse_digits() &&
        !q7xx::toByte("outpulse_digits", in.outpulse_digits(), f.outDigits))
        return false;
    if (in.has_vol_unit())
        f.volUnit = static_cast<unsigned char>(in.vol_unit());
    if (in.has_dout_mode())
        f.digOutMode = static_cast<unsigned char>(in.dout_mode());
    // 4
    if (in.has_direction())
        f.direction = in.direction() == kivsvc::forward ? 1 : 255;
    if (in.has_dir_mode())
        f.dirMode = static_cast<unsigned char>(in.dir_mode());
    if (in.has_pl_filter())
        f.filter50Hz = in.pl_filter() == q7xxConfigT::f_50hz ? 1 : 0;
    if (in.has_mfilter_width())
        f.filterDim = static_cast<unsigned char>(in.mfilter_width());
    if (in.has_mfilter_sens())
        f.filterSens = static_cast<unsigned char>(in.mfilter_sens());
    // 5
    if (in.has_cutoff_hist())
        notice(checkOnly,
               "cannot set custom cutoff hysteresis in this FW version, option is not supported");
    // 6
    if (in.has_flow_scale() &&
        !q7xx::toByte("flow_scale", in.flow_scale(), in.flow_scale() * 10.0L, f.flowScale))
        return false;
    // 7: in the units of the flow scale as it now stands
    if (in.has_cutoff_thresh()) {
        const float c = in.cutoff_thresh();
        if (!q7xx::nonNegative("cutoff_thresh", c))
            return false;
        if (!checkOnly && !q7xx::toByte("cutoff_thresh", c, f.flowScale / 10.0L * c, f.cutoff))
            return false;
    }
    // 8
    if (in.has_ppl()) {
        if (!q7xx::splitPPL(in.ppl(), f.ppl, f.decPPL))
            return false;
        if (v == q7xxVersionT::v2)
            notice(checkOnly, " cbus -> PPL: " + std::to_string(f.ppl) +
                                  " decPPL: " + std::to_string(static_cast<int>(f.decPPL)));
    }
    // 9: in output pulses of the digits and volume unit as they now stand
    if (in.has_dout_thresh()) {
        const float t = in.dout_thresh();
        if (!q7xx::nonNegative("dout_thresh", t))
            return false;
        // An unknown volume unit leaves the threshold as the meter has it.
        float factor = 0;
        if (!checkOnly && q7xx::volumeFactor(f.volUnit, factor) &&
            !q7xx::toU32("dout_thresh", t, static_cast<long double>(exp10(t, f.outDigits)) * factor,
                         f.doutThresh))
            return false;
    }
    // 10, 11, 12
    if (in.has_dout_len() &&
        !q7xx::toU32("dout_len", in.dout_len(), exp10(in.dout_len(), 1), f.doutLen))
        return false;
    if (in.has_sens_gain() &&
        !q7xx::toU16("sens_gain", in.sens_gain(), in.sens_gain() * 10000.0L, f.sensGain))
        return false;
    if (in.has_adj_4ma() && !q7xx::toU16("adj_4ma", in.adj_4ma(), in.adj_4ma(), f.adj4))
        return false;
    if (in.has_adj_20ma() && !q7xx::toU16("adj_20ma", in.adj_20ma(), in.adj_20ma(), f.adj20))
        return false;
    if (!v1 && in.has_custom_diam() &&
        !q7xx::toU16("custom_diam", in.custom_diam(), in.custom_diam(), f.customDiam))
        return false;
    if (v1) {
        // Through a 16-bit intermediate on the meter's side; the byte is what
        // must hold the value.
        if (in.has_kgain_min() &&
            !q7xx::toByte("kgain_min", in.kgain_min(), in.kgain_min() * 0.25L * 100, f.kgainMin))
            return false;
        if (in.has_kgain_max() &&
            !q7xx::toByte("kgain_max", in.kgain_max(), in.kgain_max() * 4.0L * 100, f.kgainMax))
            return false;
    }
    // 13
    if (in.has_snum()) {
        f.snum.fill(0);
        const std::string& s = in.snum();
        std::copy_n(s.begin(), std::min(s.size(), f.snum.size()), f.snum.begin());
    }
    // 14
    if (!v1 && in.has_sensor_type())
        f.sensorType = static_cast<unsigned char>(in.sensor_type());
    return true;
}
