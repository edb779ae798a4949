// First meter protocol version: the configuration layout and its differences
// from the second version, the k gains, the cut-off and output thresholds read
// back, and the hardware settings.
#include <string>

#include <gtest/gtest.h>

#include "messages.pb.h"
#include "q7xx/v1/config.h"
#include "q7xx/v2/config.h"
#include "q7xx_proto_test_support.h"

using kivsvc::q7xxConfigT;
using namespace q7xxtest;

namespace {

bytesT v1ConfigPayload() {
    bytesT p = v2ConfigPayload();
    p.resize(50);
    p[23] = 10;        // cut-off: 10 / 2.5 = 4
    p[25] = 50;        // k gain min 2
    p[26] = 200;       // k gain max 0.5
    put2(p, 34, 321);  // 4 mA
    put2(p, 36, 1234); // 20 mA
    put4(p, 42, 250);  // 2.5 at two digits, in dm3: 250000
    return p;
}

v1::q720USBMsg_CONFIGREPLY v1cfg(const bytesT& p) {
    v1::q720USBMsg_CONFIGREPLY r;
    EXPECT_TRUE(feed(r, p));
    return r;
}

bytesT written(const bytesT& p, const q7xxConfigT& in, bool* ok = nullptr) {
    v1::q720USBMsg_SETCFG s(v1cfg(p), false);
    const bool r = s.fromCbusMsg(in);
    if (ok)
        *ok = r;
    return payloadOf(s);
}

} // namespace

TEST(V1ConfigT, ReadsItsOwnFields) {
    q7xxConfigT c;
    ASSERT_TRUE(v1cfg(v1ConfigPayload()).toCbusMsg(c));
    EXPECT_EQ(c.snum(), "SN-0123456789ABCD");
    EXPECT_EQ(c.direction(), kivsvc::reverse);
    EXPECT_EQ(c.flow_scale(), 2.5f);
    EXPECT_EQ(c.cutoff_thresh(), 4.0f);
    EXPECT_EQ(c.kgain_min(), 2.0f);
    EXPECT_EQ(c.kgain_max(), 0.5f);
    EXPECT_EQ(c.ccurve_id(), kivsvc::hardcoded_2);
    EXPECT_EQ(c.adj_4ma(), 321.0f);
    EXPECT_EQ(c.adj_20ma(), 1234.0f);
    EXPECT_EQ(c.ppl(), 123.456f);
    EXPECT_EQ(c.dout_thresh(), 2.5f / 0.001f);
    EXPECT_EQ(c.dout_len(), 2.5f);
    EXPECT_FALSE(c.has_custom_diam());
    EXPECT_FALSE(c.has_sensor_type());
    EXPECT_FALSE(c.has_diam());
}

TEST(V1ConfigT, ParsesFiftyBytesAndWritesSixtyOne) {
    const bytesT shortRep = report(4, 2, bytesT(49, 0), 52, 51);
    v1::q720USBMsg_CONFIGREPLY r;
    EXPECT_FALSE(r.parse(shortRep.data(), 52));
    const bytesT rep = report(4, 2, v1ConfigPayload(), 53, 52);
    ASSERT_TRUE(r.parse(rep.data(), 53));

    bytesT want = v1ConfigPayload();
    want.resize(61, 0);
    EXPECT_EQ(written(v1ConfigPayload(), q7xxConfigT()), want);
}

TEST(V1ConfigT, KGainsRoundTrip) {
    q7xxConfigT in;
    in.set_kgain_min(2);
    in.set_kgain_max(0.5f);
    bytesT p = v1ConfigPayload();
    p[25] = p[26] = 0;
    const bytesT w = written(p, in);
    EXPECT_EQ(w[25], 50);
    EXPECT_EQ(w[26], 200);

    in.set_kgain_min(10.24f); // 256: wider than the byte
    bool ok = true;
    written(p, in, &ok);
    EXPECT_FALSE(ok);
}

TEST(V1ConfigT, AdjustmentsSitSwappedAgainstTheSecondVersion) {
    q7xxConfigT in;
    in.set_adj_4ma(4);
    in.set_adj_20ma(20);
    const bytesT w1 = written(v1ConfigPayload(), in);
    EXPECT_EQ(get2(w1, 34), 4u);
    EXPECT_EQ(get2(w1, 36), 20u);

    v2::q720USBMsg_CONFIGREPLY r2;
    ASSERT_TRUE(feed(r2, v2ConfigPayload()));
    v2::q720USBMsg_SETCFG s2(r2, false);
    ASSERT_TRUE(s2.fromCbusMsg(in));
    const bytesT w2 = payloadOf(s2);
    EXPECT_EQ(get2(w2, 34), 20u);
    EXPECT_EQ(get2(w2, 36), 4u);
}

TEST(V1ConfigT, ZeroFlowScaleLeavesCutoffUnset) {
    bytesT p = v1ConfigPayload();
    p[24] = 0;
    driverLogT log;
    q7xxConfigT c;
    ASSERT_TRUE(v1cfg(p).toCbusMsg(c));
    EXPECT_FALSE(c.has_cutoff_thresh());
    EXPECT_EQ(c.flow_scale(), 0.0f);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].rfind("ERROR: ERR driver -> { toCbusMsg } ", 0), 0u);
}

TEST(V1ConfigT, OutputThresholdReadsBackInClientUnits) {
    struct caseT {
        unsigned unit;
        unsigned digits;
        uint32_t pulses;
        float want;
    };
    const caseT cases[] = {{0, 2, 250, 2.5f}, {1, 0, 7, 7000.0f}, {0, 0, 0, 0.0f}};
    for (const auto& c : cases) {
        bytesT p = v1ConfigPayload();
        p[29] = static_cast<unsigned char>(c.digits);
        p[30] = static_cast<unsigned char>(c.unit);
        put4(p, 42, c.pulses);
        q7xxConfigT out;
        v1cfg(p).toCbusMsg(out);
        EXPECT_FLOAT_EQ(out.dout_thresh(), c.want) << c.unit;
    }
    bytesT p = v1ConfigPayload();
    p[30] = 3;
    q7xxConfigT out;
    v1cfg(p).toCbusMsg(out);
    EXPECT_FALSE(out.has_dout_thresh());
    EXPECT_FALSE(out.has_vol_unit());
}

TEST(V1ConfigT, DiameterAndSensorTypeAreNotWritten) {
    driverLogT log;
    q7xxConfigT in;
    in.set_custom_diam(50);
    in.set_diam("DN50");
    in.set_sensor_type(q7xxConfigT::sensorType_other);
    in.set_ppl(1.5f);
    bool ok = false;
    const bytesT w = written(v1ConfigPayload(), in, &ok);
    EXPECT_TRUE(ok);
    bytesT want = v1ConfigPayload();
    want.resize(61, 0);
    want[28] = 5;
    put4(want, 38, 150000);
    EXPECT_EQ(w, want);
    // One warning for the diameter; no PPL line in this version.
    const std::vector<std::string> lines = {"WARNING: WRN driver -> { fromCbusMsg } cannot set "
                                            "pipe diameter in this FW version, option "
                                            "is not supported, use jumpers instead\n"};
    EXPECT_EQ(log.lines(), lines);
}

TEST(V1ConfigT, UnstorableValuesAreRefused) {
    q7xxConfigT in;
    in.set_cutoff_thresh(150); // 2.5 x 150 = 375
    bool ok = true;
    written(v1ConfigPayload(), in, &ok);
    EXPECT_FALSE(ok);
    EXPECT_TRUE(v1::q720USBMsg_CONFIG::checkCbusMsg(in));
    in.set_kgain_max(-1);
    EXPECT_FALSE(v1::q720USBMsg_CONFIG::checkCbusMsg(in));
}

TEST(V1HwSettingsT, PipeSizeAndOutputType) {
    const struct {
        unsigned char b;
        kivsvc::hwCfgT size;
        q7xxConfigT::outputTypeT out;
    } cases[] = {
        {0x0F, kivsvc::D20, q7xxConfigT::outFREQ},
        {0x00, kivsvc::D_MAX, q7xxConfigT::outCURRENT},
        {0x0C, kivsvc::D25, q7xxConfigT::outCURRENT},
        {0x0B, kivsvc::D32, q7xxConfigT::outFREQ},
        {0x08, kivsvc::D40, q7xxConfigT::outCURRENT},
        {0x07, kivsvc::D50, q7xxConfigT::outFREQ},
        {0x04, kivsvc::D63_110, q7xxConfigT::outCURRENT},
        {0xF3, kivsvc::D125_400, q7xxConfigT::outFREQ},
    };
    for (const auto& c : cases) {
        v1::q720USBMsg_HWSETTINGSREPLY r;
        ASSERT_TRUE(feed(r, {0, c.b}));
        q7xxConfigT out;
        ASSERT_TRUE(r.toCbusMsg(out));
        EXPECT_EQ(out.hardware_config(), c.size) << int(c.b);
        EXPECT_EQ(out.out_type(), c.out) << int(c.b);
    }
}
