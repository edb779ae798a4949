// Second meter protocol version: report layouts, conversions to and from the
// client schema, the worked figures and the refusal of values the meter
// cannot store.
#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "messages.pb.h"
#include "q7xx/v2/config.h"
#include "q7xx/v2/cookie.h"
#include "q7xx/v2/extdcfg.h"
#include "q7xx/v2/hwsettings.h"
#include "q7xx/v2/measure.h"
#include "q7xx_proto_test_support.h"

using kivsvc::q7xxConfigT;
using namespace q7xxtest;

namespace {

// A Q720 configuration as the meter reported `payload`.
v2::q720USBMsg_CONFIGREPLY q720(const bytesT& payload) {
    v2::q720USBMsg_CONFIGREPLY r;
    EXPECT_TRUE(feed(r, payload));
    return r;
}

// What SETCFG writes after applying `in` to the meter's `payload`.
bytesT written(const bytesT& payload, const q7xxConfigT& in, bool* ok = nullptr) {
    v2::q720USBMsg_SETCFG set(q720(payload), false);
    const bool r = set.fromCbusMsg(in);
    if (ok)
        *ok = r;
    return payloadOf(set);
}

const float fNaN = std::numeric_limits<float>::quiet_NaN();
const float fInf = std::numeric_limits<float>::infinity();

} // namespace

TEST(V2ConfigT, ReadsEveryFieldAtItsOffset) {
    q7xxConfigT c;
    ASSERT_TRUE(q720(v2ConfigPayload()).toCbusMsg(c));
    EXPECT_EQ(c.snum(), "SN-0123456789ABCD");
    EXPECT_EQ(c.direction(), kivsvc::reverse);
    EXPECT_EQ(c.dir_mode(), kivsvc::bidir);
    EXPECT_EQ(c.pl_filter(), q7xxConfigT::f_60hz);
    EXPECT_EQ(c.mfilter_width(), q7xxConfigT::fd_32);
    EXPECT_EQ(c.mfilter_sens(), q7xxConfigT::fs_3);
    EXPECT_FALSE(c.has_cutoff_thresh());
    EXPECT_FALSE(c.has_dout_thresh());
    EXPECT_EQ(c.flow_scale(), 2.5f);
    EXPECT_EQ(c.ccurve_id(), kivsvc::hardcoded_2);
    EXPECT_EQ(c.sensor_type(), q7xxConfigT::sensorType_q700); // no sensor type on a Q720
    EXPECT_EQ(c.outpulse_digits(), 2u);
    EXPECT_EQ(c.vol_unit(), kivsvc::dm3);
    EXPECT_EQ(c.dout_mode(), q7xxConfigT::fin_in);
    EXPECT_EQ(c.sens_gain(), 0.57f);
    EXPECT_EQ(c.adj_20ma(), 1234.0f);
    EXPECT_EQ(c.adj_4ma(), 321.0f);
    EXPECT_EQ(c.ppl(), 123.456f);
    EXPECT_EQ(c.dout_len(), 2.5f);
    EXPECT_EQ(c.custom_diam(), 80.0f);
    EXPECT_FALSE(c.has_kgain_min());
}

TEST(V2ConfigT, ModelsDifferOnlyInByte27) {
    bytesT p = v2ConfigPayload();
    v2::q710USBMsg_CONFIGREPLY r710;
    ASSERT_TRUE(feed(r710, p));
    q7xxConfigT c;
    r710.toCbusMsg(c);
    EXPECT_EQ(c.sensor_type(), q7xxConfigT::sensorType_tkr03h);
    EXPECT_EQ(c.ccurve_id(), kivsvc::hardcoded_0); // no curve on a Q710

    // Each model writes back its own byte 27 and keeps every other byte.
    bytesT want = p;
    want.resize(61, 0);
    v2::q710USBMsg_SETCFG s710(r710, true);
    EXPECT_EQ(payloadOf(s710), want);
    v2::q720USBMsg_SETCFG s720(q720(p), true);
    EXPECT_EQ(payloadOf(s720), want);
}

TEST(V2ConfigT, ShortReplyFailsWithoutReadingPastIt) {
    bytesT p = v2ConfigPayload();
    p.resize(59);
    v2::q720USBMsg_CONFIGREPLY r;
    // Exactly the ids, 59 payload bytes and the checksum: one byte short.
    const bytesT rep = report(4, 2, p, 62, 61);
    EXPECT_FALSE(r.parse(rep.data(), static_cast<int>(rep.size())));
    const bytesT ok = report(4, 2, v2ConfigPayload(), 63, 62);
    EXPECT_TRUE(r.parse(ok.data(), static_cast<int>(ok.size())));
}

TEST(V2ConfigT, PplSplitsAndReadsBack) {
    struct caseT {
        float ppl;
        unsigned exponent;
        uint32_t mantissa;
    };
    const caseT cases[] = {
        {1.5f, 5, 150000},      {50000.0f, 1, 500000},
        {123456.0f, 0, 123456}, {2.3f, 5, 230000}, // not 229999: the client's decimal survives
        {0.0f, 5, 0},           {99999.9f, 0, 99999},
    };
    for (const auto& c : cases) {
        q7xxConfigT in;
        in.set_ppl(c.ppl);
        const bytesT w = written(v2ConfigPayload(), in);
        EXPECT_EQ(w[28], c.exponent) << c.ppl;
        EXPECT_EQ(get4(w, 38), c.mantissa) << c.ppl;
    }
    bytesT p = v2ConfigPayload();
    p[28] = 5;
    put4(p, 38, 150000);
    q7xxConfigT c;
    q720(p).toCbusMsg(c);
    EXPECT_EQ(c.ppl(), 1.5f);
    put4(p, 38, 230000);
    q720(p).toCbusMsg(c);
    EXPECT_EQ(c.ppl(), 2.3f);
}

TEST(V2ConfigT, PplIsLoggedWhenWritten) {
    driverLogT log;
    q7xxConfigT in;
    in.set_ppl(1.5f);
    written(v2ConfigPayload(), in);
    EXPECT_TRUE(logged(log, "WARNING: ") && logged(log, " cbus -> PPL: 150000 decPPL: 5"));
}

TEST(V2ConfigT, DecimalsReachTheMeterWhole) {
    q7xxConfigT in;
    in.set_flow_scale(0.7f);
    in.set_sens_gain(0.57f);
    in.set_dout_len(0.3f);
    const bytesT w = written(v2ConfigPayload(), in);
    EXPECT_EQ(w[24], 7);
    EXPECT_EQ(get2(w, 32), 5700u);
    EXPECT_EQ(get4(w, 46), 3u);

    in.Clear();
    in.set_flow_scale(5);
    const bytesT w5 = written(v2ConfigPayload(), in);
    EXPECT_EQ(w5[24], 50);
    q7xxConfigT back;
    q720(bytesT(w5.begin(), w5.begin() + 60)).toCbusMsg(back);
    EXPECT_EQ(back.flow_scale(), 5.0f);
}

TEST(V2ConfigT, OutputThresholdFollowsDigitsAndUnit) {
    struct caseT {
        unsigned unit;
        uint32_t want;
    };
    // 2.5 at two pulse digits: 250 pulses in m3, 0.25 truncated in dm3.
    const caseT cases[] = {{0, 250}, {1, 0}, {2, 66}};
    for (const auto& c : cases) {
        q7xxConfigT in;
        in.set_dout_thresh(2.5f);
        in.set_outpulse_digits(2);
        in.set_vol_unit(static_cast<kivsvc::volUnitT>(c.unit));
        EXPECT_EQ(get4(written(v2ConfigPayload(), in), 42), c.want) << c.unit;
    }
    // An unknown unit on the meter leaves the threshold alone.
    bytesT p = v2ConfigPayload();
    p[30] = 9;
    q7xxConfigT in;
    in.set_dout_thresh(2.5f);
    EXPECT_EQ(get4(written(p, in), 42), 777u);
}

TEST(V2ConfigT, CutoffCountsInTheNewFlowScale) {
    q7xxConfigT in;
    in.set_cutoff_thresh(3);
    EXPECT_EQ(written(v2ConfigPayload(), in)[23], 7); // 2.5 x 3 = 7.5
    in.set_flow_scale(4);
    EXPECT_EQ(written(v2ConfigPayload(), in)[23], 12);
}

TEST(V2ConfigT, AbsentFieldsKeepTheMetersBytes) {
    bytesT want = v2ConfigPayload();
    want.resize(61, 0);
    const q7xxConfigT none;
    EXPECT_EQ(written(v2ConfigPayload(), none), want);

    // One field changes only its own bytes; schema defaults are never written.
    q7xxConfigT one;
    one.set_adj_4ma(999);
    bytesT w = written(v2ConfigPayload(), one);
    put2(want, 36, 999);
    EXPECT_EQ(w, want);
}

TEST(V2ConfigT, SerialNumberIsClearedThenCopied) {
    q7xxConfigT in;
    in.set_snum("AB");
    bytesT w = written(v2ConfigPayload(), in);
    EXPECT_EQ(w[1], 'A');
    EXPECT_EQ(w[2], 'B');
    for (int i = 3; i <= 17; ++i)
        EXPECT_EQ(w[i], 0) << i;
    EXPECT_EQ(w[18], 255);
    in.set_snum(std::string(30, 'x'));
    w = written(v2ConfigPayload(), in);
    EXPECT_EQ(w[17], 'x');
    EXPECT_EQ(w[18], 255);
}

TEST(V2ConfigT, UnstorableValuesAreRefused) {
    struct caseT {
        const char* what;
        void (*set)(q7xxConfigT&);
    };
    const caseT cases[] = {
        {"flow_scale NaN", [](q7xxConfigT& c) { c.set_flow_scale(fNaN); }},
        {"flow_scale wide", [](q7xxConfigT& c) { c.set_flow_scale(25.6f); }},
        {"flow_scale negative", [](q7xxConfigT& c) { c.set_flow_scale(-1); }},
        {"ppl fInf", [](q7xxConfigT& c) { c.set_ppl(fInf); }},
        {"ppl negative", [](q7xxConfigT& c) { c.set_ppl(-0.5f); }},
        {"ppl wide", [](q7xxConfigT& c) { c.set_ppl(5e9f); }},
        {"sens_gain wide", [](q7xxConfigT& c) { c.set_sens_gain(6.6f); }},
        {"adj_4ma wide", [](q7xxConfigT& c) { c.set_adj_4ma(65536); }},
        {"adj_20ma negative", [](q7xxConfigT& c) { c.set_adj_20ma(-3); }},
        {"custom_diam NaN", [](q7xxConfigT& c) { c.set_custom_diam(fNaN); }},
        {"dout_len wide", [](q7xxConfigT& c) { c.set_dout_len(5e8f); }},
        {"dout_thresh wide", [](q7xxConfigT& c) { c.set_dout_thresh(1e30f); }},
        {"dout_thresh negative", [](q7xxConfigT& c) { c.set_dout_thresh(-1); }},
        {"cutoff_thresh wide", [](q7xxConfigT& c) { c.set_cutoff_thresh(200); }},
        {"cutoff_thresh NaN", [](q7xxConfigT& c) { c.set_cutoff_thresh(fNaN); }},
        {"outpulse_digits wide", [](q7xxConfigT& c) { c.set_outpulse_digits(256); }},
    };
    for (const auto& c : cases) {
        driverLogT log;
        q7xxConfigT in;
        c.set(in);
        bool ok = true;
        written(v2ConfigPayload(), in, &ok);
        EXPECT_FALSE(ok) << c.what;
        EXPECT_TRUE(logged(log, "ERROR: ")) << c.what;
    }
}

TEST(V2ConfigT, CheckRefusesWhatNeedsNoMeterBytes) {
    q7xxConfigT in;
    in.set_flow_scale(0.5f);
    in.set_cutoff_thresh(1e6f); // depends on the meter's scale: checked later
    EXPECT_TRUE(v2::q7xxUSBMsg_CONFIG::checkCbusMsg(in));
    in.set_sens_gain(fNaN);
    EXPECT_FALSE(v2::q7xxUSBMsg_CONFIG::checkCbusMsg(in));
    in.clear_sens_gain();
    in.set_dout_thresh(-2);
    EXPECT_FALSE(v2::q7xxUSBMsg_CONFIG::checkCbusMsg(in));
}

TEST(V2ConfigT, NotSupportedFieldsAreLoggedAndSkipped) {
    driverLogT log;
    q7xxConfigT in;
    in.set_cutoff_hist(1);
    in.mutable_custom_fwd_ccurve();
    in.set_ccurve_id(kivsvc::custom);
    bool ok = false;
    bytesT want = v2ConfigPayload();
    want.resize(61, 0);
    EXPECT_EQ(written(v2ConfigPayload(), in, &ok), want);
    EXPECT_TRUE(ok);
    const auto l = log.lines();
    int curve = 0, hist = 0;
    for (const auto& s : l) {
        curve += s ==
                 "WARNING: WRN driver -> { fromCbusMsg } cannot set custom compensation curve in "
                 "this FW version, option is not supported\n";
        hist += s ==
                "WARNING: WRN driver -> { fromCbusMsg } cannot set custom cutoff hysteresis in "
                "this FW version, option is not supported\n";
    }
    EXPECT_EQ(curve, 2);
    EXPECT_EQ(hist, 1);
}

// Every enumeration byte both ways, and the log line of a byte outside it.
TEST(V2ConfigT, EnumerationsMapBothWays) {
    struct caseT {
        std::size_t offset;
        std::vector<unsigned> bytes;    // meter values, in schema order
        std::vector<int> schema;        // schema values
        int (*get)(const q7xxConfigT&); // read, -1 when unset
        void (*set)(q7xxConfigT&, int); //
        unsigned badByte;
        const char* message;
    };
    const caseT cases[] = {
        {30,
         {0, 1, 2},
         {kivsvc::m3, kivsvc::dm3, kivsvc::gal_US},
         [](const q7xxConfigT& c) { return c.has_vol_unit() ? int(c.vol_unit()) : -1; },
         [](q7xxConfigT& c, int v) { c.set_vol_unit(kivsvc::volUnitT(v)); },
         3,
         "unknown totUnit"},
        {31,
         {0, 1, 2, 3, 4, 5},
         {0, 1, 2, 3, 4, 5},
         [](const q7xxConfigT& c) { return c.has_dout_mode() ? int(c.dout_mode()) : -1; },
         [](q7xxConfigT& c, int v) { c.set_dout_mode(q7xxConfigT::digOutModeT(v)); },
         6,
         "unknown digOutMode"},
        {18,
         {1, 255},
         {kivsvc::forward, kivsvc::reverse},
         [](const q7xxConfigT& c) { return c.has_direction() ? int(c.direction()) : -1; },
         [](q7xxConfigT& c, int v) { c.set_direction(kivsvc::flowDirT(v)); },
         0,
         "unknown direction"},
        {19,
         {0, 1},
         {kivsvc::unidir, kivsvc::bidir},
         [](const q7xxConfigT& c) { return c.has_dir_mode() ? int(c.dir_mode()) : -1; },
         [](q7xxConfigT& c, int v) { c.set_dir_mode(kivsvc::dirModeT(v)); },
         2,
         "unknown bidirectional"},
        {20,
         {1, 0},
         {q7xxConfigT::f_50hz, q7xxConfigT::f_60hz},
         [](const q7xxConfigT& c) { return c.has_pl_filter() ? int(c.pl_filter()) : -1; },
         [](q7xxConfigT& c, int v) { c.set_pl_filter(q7xxConfigT::powerlineFilterT(v)); },
         2,
         "unknown filter50Hz"},
        {21,
         {4, 8, 16, 32, 64},
         {4, 8, 16, 32, 64},
         [](const q7xxConfigT& c) { return c.has_mfilter_width() ? int(c.mfilter_width()) : -1; },
         [](q7xxConfigT& c, int v) { c.set_mfilter_width(q7xxConfigT::mfilterDimT(v)); },
         5,
         "unknown filterDim"},
        {22,
         {1, 2, 3, 4},
         {1, 2, 3, 4},
         [](const q7xxConfigT& c) { return c.has_mfilter_sens() ? int(c.mfilter_sens()) : -1; },
         [](q7xxConfigT& c, int v) { c.set_mfilter_sens(q7xxConfigT::mfilterSensT(v)); },
         0,
         "unknown filterSens"},
        {27,
         {0, 1, 2, 3},
         {0, 1, 2, 3},
         [](const q7xxConfigT& c) { return c.has_ccurve_id() ? int(c.ccurve_id()) : -1; },
         [](q7xxConfigT& c, int v) { c.set_ccurve_id(kivsvc::compCurveIdT(v)); },
         4,
         "unknown compCurve"},
    };
    for (const auto& c : cases) {
        for (std::size_t i = 0; i < c.bytes.size(); ++i) {
            bytesT p = v2ConfigPayload();
            p[c.offset] = static_cast<unsigned char>(c.bytes[i]);
            q7xxConfigT out;
            q720(p).toCbusMsg(out);
            EXPECT_EQ(c.get(out), c.schema[i]) << c.message << " byte " << c.bytes[i];

            q7xxConfigT in;
            c.set(in, c.schema[i]);
            EXPECT_EQ(written(v2ConfigPayload(), in)[c.offset], c.bytes[i]) << c.message;
        }
        driverLogT log;
        bytesT p = v2ConfigPayload();
        p[c.offset] = static_cast<unsigned char>(c.badByte);
        q7xxConfigT out;
        EXPECT_TRUE(q720(p).toCbusMsg(out));
        EXPECT_EQ(c.get(out), -1) << c.message;
        EXPECT_EQ(out.snum(), "SN-0123456789ABCD"); // the rest is still converted
        ASSERT_EQ(log.lines().size(), 1u) << c.message;
        EXPECT_EQ(log.lines()[0],
                  std::string("ERROR: ERR driver -> { toCbusMsg } ") + c.message + "\n");
    }
}

TEST(V2ConfigT, SensorTypeMapsBothWaysOnTheQ710) {
    for (unsigned b = 0; b <= 4; ++b) {
        driverLogT log;
        bytesT p = v2ConfigPayload();
        p[27] = static_cast<unsigned char>(b);
        v2::q710USBMsg_CONFIGREPLY r;
        ASSERT_TRUE(feed(r, p));
        q7xxConfigT out;
        r.toCbusMsg(out);
        if (b <= 3) {
            EXPECT_EQ(int(out.sensor_type()), int(b));
            q7xxConfigT in;
            in.set_sensor_type(q7xxConfigT::sensorTypeT(b));
            v2::q710USBMsg_SETCFG s(r, false);
            s.fields().sensorType = 9;
            ASSERT_TRUE(s.fromCbusMsg(in));
            EXPECT_EQ(payloadOf(s)[27], b);
        } else {
            EXPECT_FALSE(out.has_sensor_type());
            EXPECT_TRUE(logged(log, "ERROR: ERR driver -> { toCbusMsg } unknown sensorType\n"));
        }
    }
}

TEST(V2ConfigT, Q710FormatterLogsSensorTypeAndPpl) {
    bytesT p = v2ConfigPayload();
    p[27] = 'S'; // a printable sensor type byte shows as itself
    v2::q710USBMsg_CONFIGREPLY r;
    ASSERT_TRUE(feed(r, p));
    v2::q710USBMsg_SETCFG s(r, false);
    driverLogT log;
    payloadOf(s);
    const auto l = log.lines();
    ASSERT_EQ(l.size(), 2u);
    EXPECT_EQ(l[0],
              "WARNING: WRN driver -> { _format } *********************** _format sensorType:S\n");
    EXPECT_EQ(l[1], "WARNING: WRN driver -> { _format }  usb -> PPL:123456 decPPL:3\n");

    driverLogT quiet;
    v2::q720USBMsg_SETCFG s720(q720(p), false);
    payloadOf(s720);
    EXPECT_TRUE(quiet.lines().empty());
}

TEST(V2CookieT, CarriesTheDiameterText) {
    bytesT p(60, 0);
    p[0] = 'D';
    p[1] = 'N';
    p[2] = '5';
    p[3] = '0';
    p[40] = 'z'; // behind the NUL: still part of the cookie
    v2::q7xxUSBMsg_COOKIEREPLY r;
    ASSERT_TRUE(feed(r, p));
    q7xxConfigT c;
    r.toCbusMsg(c);
    EXPECT_EQ(c.diam(), std::string(reinterpret_cast<const char*>(p.data()), 60));

    // Untouched without diam; replaced (NUL-padded, at most 59 bytes) with it.
    v2::q7xxUSBMsg_SETCOOKIE same(r);
    ASSERT_TRUE(same.fromCbusMsg(q7xxConfigT()));
    EXPECT_EQ(payloadOf(same), p);

    driverLogT log;
    q7xxConfigT in;
    in.set_diam(std::string("DN80\0junk", 9));
    v2::q7xxUSBMsg_SETCOOKIE set(r);
    ASSERT_TRUE(set.fromCbusMsg(in));
    bytesT want(60, 0);
    want[0] = 'D', want[1] = 'N', want[2] = '8', want[3] = '0';
    EXPECT_EQ(payloadOf(set), want);
    EXPECT_TRUE(logged(log, "WARNING: WRN driver -> { fromCbusMsg } cfg.diam().data()='DN80'\n"));

    in.set_diam(std::string(80, 'w'));
    ASSERT_TRUE(set.fromCbusMsg(in));
    const bytesT w = payloadOf(set);
    EXPECT_EQ(w[58], 'w');
    EXPECT_EQ(w[59], 0);

    EXPECT_EQ(set.rid(), 1);
    EXPECT_EQ(set.mid(), 7);
    bytesT shortP(59, 0);
    v2::q7xxUSBMsg_COOKIEREPLY s;
    const bytesT rep = report(4, 7, shortP, 62, 61);
    EXPECT_FALSE(s.parse(rep.data(), static_cast<int>(rep.size())));
}

namespace {

bytesT extdPayload() {
    bytesT p(60, 0);
    putf(p, 0, 1.25f);
    putf(p, 4, 20.5f);
    putf(p, 8, 3.5f);
    putf(p, 12, 4.5f);
    putf(p, 16, 0.125f);
    p[20] = 3;
    p[21] = 2;
    p[22] = 1;
    p[23] = 0;
    p[24] = 7;
    p[25] = 0;
    put2(p, 26, 4321);
    putf(p, 28, 12.5f);
    p[32] = 1;
    p[33] = 255;
    put2(p, 34, 6000);
    putf(p, 36, 0.75f);
    putf(p, 40, 0.5f);
    putf(p, 44, 2.0f);
    putf(p, 48, 1.125f);
    return p;
}

v2::q7xxUSBMsg_EXTDCFGREPLY extd(const bytesT& p) {
    v2::q7xxUSBMsg_EXTDCFGREPLY r;
    EXPECT_TRUE(feed(r, p));
    return r;
}

} // namespace

TEST(V2ExtdConfigT, ReadsEveryFieldAtItsOffset) {
    q7xxConfigT c;
    ASSERT_TRUE(extd(extdPayload()).toCbusMsg(c));
    EXPECT_EQ(c.flow_4ma(), 1.25f);
    EXPECT_EQ(c.flow_20ma(), 20.5f);
    EXPECT_EQ(c.dout_thresh(), 3.5f);
    EXPECT_EQ(c.dout_thresh_2(), 4.5f);
    EXPECT_EQ(c.dout_hyst(), 0.125f);
    EXPECT_EQ(c.flow_unit(), kivsvc::m3_h);
    EXPECT_EQ(c.gain_strength_mode(), q7xxConfigT::gainStrMode_max);
    EXPECT_TRUE(c.simu_freq_enabled());
    EXPECT_FALSE(c.simu_current_enabled());
    EXPECT_TRUE(c.simu_digiout_enabled());
    EXPECT_FALSE(c.simu_direction_enabled());
    EXPECT_EQ(c.simu_freq_output(), 4321u);
    EXPECT_EQ(c.simu_current_output(), 12.5f);
    EXPECT_TRUE(c.simu_digital_output());
    EXPECT_EQ(c.simu_direction(), kivsvc::reverse);
    EXPECT_EQ(c.cutoff_delay(), 6000u);
    EXPECT_EQ(c.cutoff_thresh(), 0.75f);
    EXPECT_EQ(c.kgain_min(), 0.5f);
    EXPECT_EQ(c.kgain_max(), 2.0f);
    EXPECT_EQ(c.factory_sens_gain(), 1.125f);
    EXPECT_TRUE(c.has_reset_volume());
    EXPECT_FALSE(c.reset_volume());
}

TEST(V2ExtdConfigT, WritesBackUnchangedButTheResetBit) {
    bytesT p = extdPayload();
    p[22] = 0x81; // a reset bit from the meter is not echoed
    p[55] = 0x99; // beyond the layout
    driverLogT log;
    v2::q7xxUSBMsg_SETEXTDCFG s(extd(p));
    ASSERT_TRUE(s.fromCbusMsg(q7xxConfigT()));
    bytesT want = extdPayload();
    want.resize(61, 0);
    EXPECT_EQ(payloadOf(s), want);
    // The six fields a client is expected to send are reported missing.
    for (const char* f :
         {"flow_unit", "flow_4ma", "flow_20ma", "dout_thresh", "dout_thresh_2", "dout_hyst"})
        EXPECT_TRUE(
            logged(log, std::string("WARNING: WRN driver -> { fromCbusMsg } ") + f + " missing\n"))
            << f;
    EXPECT_EQ(log.lines().size(), 6u);

    q7xxConfigT in;
    in.set_reset_volume(true);
    in.set_simu_freq_enabled(false);
    ASSERT_TRUE(s.fromCbusMsg(in));
    EXPECT_EQ(payloadOf(s)[22], 0x80);
}

TEST(V2ExtdConfigT, WritesEachFieldAtItsOffset) {
    q7xxConfigT in;
    in.set_flow_unit(kivsvc::gpm);
    in.set_flow_4ma(-1.5f);
    in.set_flow_20ma(99);
    in.set_dout_thresh(7);
    in.set_dout_thresh_2(8);
    in.set_dout_hyst(9);
    in.set_gain_strength_mode(q7xxConfigT::gainStrMode_min);
    in.set_simu_freq_enabled(false);
    in.set_simu_current_enabled(true);
    in.set_simu_digiout_enabled(false);
    in.set_simu_direction_enabled(true);
    in.set_simu_freq_output(65535);
    in.set_simu_current_output(20);
    in.set_simu_digital_output(false);
    in.set_simu_direction(kivsvc::forward);
    in.set_cutoff_delay(100);
    in.set_cutoff_thresh(0.25f);
    in.set_kgain_min(0.1f);
    in.set_kgain_max(3);
    in.set_factory_sens_gain(0.9f);
    v2::q7xxUSBMsg_SETEXTDCFG s(extd(extdPayload()));
    ASSERT_TRUE(s.fromCbusMsg(in));
    EXPECT_EQ(s.rid(), 1);
    EXPECT_EQ(s.mid(), 8);
    const bytesT w = payloadOf(s);
    ASSERT_EQ(w.size(), 61u);
    EXPECT_EQ(getf(w, 0), -1.5f);
    EXPECT_EQ(getf(w, 4), 99.0f);
    EXPECT_EQ(getf(w, 8), 7.0f);
    EXPECT_EQ(getf(w, 12), 8.0f);
    EXPECT_EQ(getf(w, 16), 9.0f);
    EXPECT_EQ(w[20], 4);
    EXPECT_EQ(w[21], 1);
    EXPECT_EQ(w[22], 0);
    EXPECT_EQ(w[23], 1);
    EXPECT_EQ(w[24], 0);
    EXPECT_EQ(w[25], 1);
    EXPECT_EQ(get2(w, 26), 65535u);
    EXPECT_EQ(getf(w, 28), 20.0f);
    EXPECT_EQ(w[32], 0);
    EXPECT_EQ(w[33], 1);
    EXPECT_EQ(get2(w, 34), 100u);
    EXPECT_EQ(getf(w, 36), 0.25f);
    EXPECT_EQ(getf(w, 40), 0.1f);
    EXPECT_EQ(getf(w, 44), 3.0f);
    EXPECT_EQ(getf(w, 48), 0.9f);
}

TEST(V2ExtdConfigT, UnknownBytesAreLoggedAndLeftUnset) {
    bytesT p = extdPayload();
    p[20] = 5;
    p[21] = 3;
    p[33] = 0;
    driverLogT log;
    q7xxConfigT c;
    ASSERT_TRUE(extd(p).toCbusMsg(c));
    EXPECT_FALSE(c.has_flow_unit());
    EXPECT_FALSE(c.has_gain_strength_mode());
    EXPECT_FALSE(c.has_simu_direction());
    EXPECT_EQ(c.flow_4ma(), 1.25f);
    const std::vector<std::string> want = {
        "ERROR: ERR driver -> { toCbusMsg } unknown flow unit\n",
        "ERROR: ERR driver -> { toCbusMsg } unknown gain strenght mode\n",
        "ERROR: ERR driver -> { toCbusMsg } unknown simu_direction\n",
    };
    EXPECT_EQ(log.lines(), want);
}

TEST(V2ExtdConfigT, UnstorableValuesAreRefused) {
    const std::vector<void (*)(q7xxConfigT&)> cases = {
        [](q7xxConfigT& c) { c.set_cutoff_delay(65536); },
        [](q7xxConfigT& c) { c.set_simu_freq_output(70000); },
        [](q7xxConfigT& c) { c.set_flow_4ma(fNaN); },
        [](q7xxConfigT& c) { c.set_simu_current_output(fInf); },
        [](q7xxConfigT& c) { c.set_kgain_max(-fInf); },
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        q7xxConfigT in;
        cases[i](in);
        v2::q7xxUSBMsg_SETEXTDCFG s(extd(extdPayload()));
        EXPECT_FALSE(s.fromCbusMsg(in)) << i;
        EXPECT_FALSE(v2::q7xxUSBMsg_EXTDCFG::checkCbusMsg(in)) << i;
    }
}

TEST(V2MeasureT, ReadsEveryField) {
    bytesT p(60, 0);
    p[0] = 6;
    p[1] = 255;
    put4(p, 2, 123456);
    putf(p, 6, 1000.5f);
    putf(p, 10, -2.25f);
    putf(p, 14, 12.0f);
    putf(p, 18, 0.975f);
    put4(p, 22, 3);
    v2::q7xxUSBMsg_GETMEASUREREPLY r;
    ASSERT_TRUE(feed(r, p));
    kivsvc::q7xxMeasureT m;
    ASSERT_TRUE(r.toCbusMsg(m));
    EXPECT_EQ(m.alarm(), kivsvc::q7xxMeasureT::empty_pipe);
    EXPECT_EQ(m.direction(), kivsvc::reverse);
    EXPECT_EQ(m.freq(), 123456u);
    EXPECT_EQ(m.tot_flow(), 1000.5f);
    EXPECT_EQ(m.flow(), -2.25f);
    EXPECT_EQ(m.current(), 12.0f);
    EXPECT_EQ(m.kfactor(), 0.975f);
    EXPECT_EQ(m.curve(), 3u);

    for (unsigned a = 0; a <= 6; ++a) {
        p[0] = static_cast<unsigned char>(a);
        ASSERT_TRUE(feed(r, p));
        kivsvc::q7xxMeasureT mm;
        r.toCbusMsg(mm);
        EXPECT_EQ(unsigned(mm.alarm()), a);
    }
    p[0] = 7;
    p[1] = 2;
    ASSERT_TRUE(feed(r, p));
    driverLogT log;
    kivsvc::q7xxMeasureT bad;
    ASSERT_TRUE(r.toCbusMsg(bad));
    EXPECT_FALSE(bad.has_alarm());
    EXPECT_FALSE(bad.has_direction());
    EXPECT_EQ(bad.freq(), 123456u);
    const std::vector<std::string> want = {
        "ERROR: ERR driver -> { toCbusMsg } unknown alarm\n",
        "ERROR: ERR driver -> { toCbusMsg } unknown direction\n"};
    EXPECT_EQ(log.lines(), want);

    const bytesT shortRep = report(4, 9, bytesT(59, 0), 62, 61);
    EXPECT_FALSE(r.parse(shortRep.data(), static_cast<int>(shortRep.size())));
}

TEST(V2HwSettingsT, LowNibbleIsTheHardwareConfiguration) {
    v2::q7xxUSBMsg_HWSETTINGSREPLY r;
    for (unsigned b : {0x00u, 0x05u, 0x0Fu, 0xF3u}) {
        ASSERT_TRUE(feed(r, {0, static_cast<unsigned char>(b), 0, 0}));
        q7xxConfigT c;
        r.toCbusMsg(c);
        EXPECT_EQ(unsigned(c.hardware_config()), b & 0x0F);
    }
    // Consumed: 2 of two or three bytes, 4 otherwise; fewer than two fail.
    const struct {
        int len;
        int covered;
        bool ok;
    } cases[] = {{3, 3, false}, {5, 4, true}, {7, 6, true}, {7, 4, false}, {9, 6, true}};
    for (const auto& c : cases) {
        const bytesT rep = report(4, 6, {0, 0x0A, 0x01, 0x02, 0x03}, c.len, c.covered);
        EXPECT_EQ(r.parse(rep.data(), c.len), c.ok) << c.len;
    }
}
