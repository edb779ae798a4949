// q7xxCfgFieldsT: the configuration fields of a q7xx meter, as both protocol
// versions lay them out (the versions differ in a few offsets and in what
// they interpret), and the conversions to and from the client schema that the
// versions share.
//
// A plain value; the owning message object decides which thread uses it.
// Conversions to the schema never fail: an unknown byte value leaves its field
// unset and is logged at ERROR (tag "toCbusMsg"). Conversions from the schema
// write only the fields the client set and fail, logging at ERROR, on a value
// the meter cannot store; the fields are then partly written and the object
// must not be sent.
#pragma once

#include <array>

namespace kivsvc {
class q7xxConfigT;
}

struct q7xxCfgFieldsT {
    static constexpr int snumSize = 17;

    unsigned char first = 0; // byte 0, kept as read
    std::array<unsigned char, snumSize> snum{};
    unsigned char direction = 0;  // 1 forward, 255 reverse
    unsigned char dirMode = 0;    // 0 unidirectional, 1 bidirectional
    unsigned char filter50Hz = 0; // 1 50 Hz, 0 60 Hz
    unsigned char filterDim = 0;  // 4, 8, 16, 32, 64
    unsigned char filterSens = 0; // 1 to 4
    unsigned char cutoff = 0;     // cut-off threshold in flow-scale units
    unsigned char flowScale = 0;  // tenths
    unsigned char kgainMin = 0;   // byte 25: first version 0.04 units, else kept as read
    unsigned char kgainMax = 0;   // byte 26: first version 0.0025 units, else kept as read
    unsigned char compCurve = 0;  // byte 27 of the Q720 layouts
    unsigned char sensorType = 0; // byte 27 of the Q710 layout
    unsigned char decPPL = 0;     // decimal exponent of the PPL value
    unsigned char outDigits = 0;  // output pulse digits
    unsigned char volUnit = 0;    // 0 m3, 1 dm3, 2 US gallon
    unsigned char digOutMode = 0; // 0 off .. 5 pulse
    unsigned short sensGain = 0;  // x 10000
    unsigned short adj20 = 0;     // 20 mA adjustment
    unsigned short adj4 = 0;      // 4 mA adjustment
    unsigned int ppl = 0;         // PPL mantissa
    unsigned int doutThresh = 0;  // digital output threshold in output pulses
    unsigned int doutLen = 0;     // digital output pulse length x 10
    unsigned short customDiam = 0;
};

// Which protocol version a conversion speaks for (what it writes and logs).
enum class q7xxVersionT { v1 = 1, v2 = 2 };

// The schema fields both versions read alike, in the order (and with the log
// lines) of the conversion: ccurve_id, outpulse_digits, vol_unit, dout_mode,
// direction, dir_mode, pl_filter, mfilter_width, mfilter_sens, flow_scale,
// ppl, dout_len, sens_gain, adj_4ma, adj_20ma, snum.
void q7xxCfgToCbus(const q7xxCfgFieldsT& f, kivsvc::q7xxConfigT& out);

// Writes the client's fields into `f`, in the conversion's order, for
// version `v`. With `checkOnly` nothing is logged but refusals, and values
// that depend on the meter's own bytes are checked only for sign and
// finiteness: it tells before any report is exchanged whether a request can
// be stored at all.
bool q7xxCfgFromCbus(q7xxCfgFieldsT& f, const kivsvc::q7xxConfigT& in, q7xxVersionT v,
                     bool checkOnly = false);
