// Both meter protocol versions through the real meter driver against emulated
// meters over the emulated HID transport: what a client reads and writes
// through the schema, checked against the emulator's own reading of the
// meter's memory.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "emu_test_support.h"
#include "kivemu/hiddev.h"
#include "kivemu/meter.h"
#include "kivemu/q7xx_v1_state.h"
#include "kivemu/q7xx_v2_state.h"
#include "messages.pb.h"
#include "q7xx/msgids.h"
#include "q7xx/usbdriver.h"

using namespace std::chrono_literals;
using kivemu::bytesT;
using kivemu::hidDevT;
using kivemu::meterT;
using kivsvc::q7xxConfigT;

namespace {

using devMapT = std::map<int, std::shared_ptr<const kivDevT>>;

// The emulator's memory, read under its lock.
struct memoryT {
    bytesT config, stored, cookie, extd;
    unsigned hostReports = 0;
};

// One driver and one emulated meter of the given model and software version.
struct rigT {
    emutest::logCaptureT log;
    emutest::dbWatchGuardT db;
    const uint16_t vendor = emutest::freshVendor();
    std::unique_ptr<q7xxUsbDriverT> drv;
    std::unique_ptr<hidDevT> meter;
    std::shared_ptr<q7xxUsbDevT> dev;

    rigT(const std::string& name, unsigned char sw,
         const std::function<void(meterT&)>& setup = nullptr) {
        emutest::emuDir();
        drv = std::make_unique<q7xxUsbDriverT>(vendor, 0x0001);
        EXPECT_TRUE(drv->start());
        kivemu::meterIdentityT id;
        id.name = name;
        id.swver = sw;
        id.snum = "PROTO" + std::to_string(vendor);
        auto model = std::make_unique<meterT>(id);
        if (setup)
            setup(*model);
        char dn[32];
        std::snprintf(dn, sizeof dn, "p%04x", vendor);
        meter = std::make_unique<hidDevT>(emutest::emuDir(), dn, rux::usbIdT(vendor, 0x0001),
                                          std::move(model));
        EXPECT_TRUE(meter->plug());
        std::string sn = id.snum;
        sn.resize(17, '\0');
        int devId = -1;
        db->waitFor([&](const devMapT& devs) {
            for (auto& d : devs) {
                auto q = std::dynamic_pointer_cast<const q7xxUsbDevT>(d.second);
                if (q && q->snum() == sn && q->address().id.vendor == vendor)
                    devId = q->id();
            }
            return devId >= 0;
        });
        devdbT::wrT w;
        dev = std::dynamic_pointer_cast<q7xxUsbDevT>(w.find(devId));
        EXPECT_TRUE(dev);
    }
    ~rigT() {
        dev.reset();
        meter.reset();
        drv.reset();
    }
    template <class F> void with(F f) {
        meter->with([&](kivemu::modelT& m) { f(static_cast<meterT&>(m)); });
    }
    memoryT memory() {
        memoryT m;
        with([&](meterT& mt) {
            m.config = mt.config();
            m.stored = mt.storedConfig();
            m.cookie = mt.cookie();
            m.extd = mt.extdConfig();
            m.hostReports = mt.hostReports();
        });
        return m;
    }
    q7xxConfigT get(bool saved = false) {
        kivsvc::configT c;
        EXPECT_TRUE(saved ? dev->restoreLastSavedConfig(c) : dev->getConfig(c));
        EXPECT_FALSE(c.has_persistent());
        return c.q7xx();
    }
    bool set(const q7xxConfigT& q, bool persistent = false) {
        kivsvc::configT c;
        *c.mutable_q7xx() = q;
        c.set_persistent(persistent);
        if (!dev->setConfig(c, persistent))
            return false;
        // Writes have no reply: one request that has one tells that the
        // meter has taken everything before it.
        q7xxProtoFactoryT f;
        std::shared_ptr<q7xxUSBMsgT> id = f.make_idreply();
        return dev->syncMessage(f.make_idreq(), id);
    }
};

// A second-version meter whose write-only bytes agree with its extended
// configuration, so that what a client reads it can write back unchanged.
void consistentV2(meterT& m) {
    auto c = kivemu::v2::configT::decode(m.config());
    c.flowScale = 50;   // 5
    c.decPPL = 5;       // PPL 1.5
    c.ppl = 150000;     //
    c.outDigits = 2;    //
    c.volUnit = 0;      // m3
    c.cutoff = 10;      // 5 x 2
    c.doutThresh = 250; // 2.5 at two digits
    c.byte25 = 0x33;    // kept as read
    c.byte27 = 2;
    c.customDiam = 65;
    m.config() = c.encode();
    m.storedConfig() = m.config();
    auto e = kivemu::v2::extdT::decode(m.extdConfig());
    e.cutoffThresh = 2;
    e.doutThresh = 2.5f;
    e.doutThresh2 = 3.5f;
    e.doutHyst = 0.25f;
    e.flowUnit = 3;
    e.simFreqOut = 1234;
    m.extdConfig() = e.encode();
    bytesT cookie(60, 0);
    const std::string d = "DN65";
    std::copy(d.begin(), d.end(), cookie.begin());
    m.cookie() = cookie;
    m.hwSettings() = 0x05;
}

const char* q720 = "Q8.20 MAGMETER";

} // namespace

TEST(Q7xxProtoV2T, ConfigurationReadsWhatTheMeterHolds) {
    rigT rig(q720, 4, consistentV2);
    const q7xxConfigT q = rig.get();
    EXPECT_EQ(q.ppl(), 1.5f);
    EXPECT_EQ(q.flow_scale(), 5.0f);
    EXPECT_EQ(q.ccurve_id(), kivsvc::hardcoded_2);
    EXPECT_EQ(q.custom_diam(), 65.0f);
    EXPECT_EQ(q.diam().substr(0, 5), std::string("DN65\0", 5));
    EXPECT_EQ(q.diam().size(), 60u);
    EXPECT_EQ(q.flow_unit(), kivsvc::m3_h);
    EXPECT_EQ(q.cutoff_thresh(), 2.0f); // from the extended configuration
    EXPECT_EQ(q.dout_thresh(), 2.5f);
    EXPECT_EQ(q.simu_freq_output(), 1234u);
    EXPECT_EQ(q.hardware_config(), kivsvc::D50);
    EXPECT_EQ(q.snum().substr(0, 5), "PROTO");
    EXPECT_EQ(q.sensor_type(), q7xxConfigT::sensorType_q700);
}

TEST(Q7xxProtoV2T, WritingBackWhatWasReadChangesNoByte) {
    rigT rig(q720, 4, consistentV2);
    const memoryT before = rig.memory();
    ASSERT_TRUE(rig.set(rig.get()));
    const memoryT after = rig.memory();
    EXPECT_EQ(after.config, before.config);
    EXPECT_EQ(after.cookie, before.cookie);
    EXPECT_EQ(after.extd, before.extd);
    EXPECT_EQ(after.stored, before.stored);
    // Reads: configuration, cookie, extended, hardware; then cookie, extended,
    // configuration; then the three writes (and the rig's identification).
    EXPECT_EQ(after.hostReports - before.hostReports, 11u);
}

TEST(Q7xxProtoV2T, OneFieldChangesOnlyItsBytes) {
    rigT rig(q720, 4, consistentV2);
    const memoryT before = rig.memory();
    q7xxConfigT q;
    q.set_flow_scale(0.7f);
    ASSERT_TRUE(rig.set(q));
    bytesT want = before.config;
    want[24] = 7;
    EXPECT_EQ(rig.memory().config, want);

    q.Clear();
    q.set_ppl(2.3f);
    q.set_sens_gain(0.57f);
    ASSERT_TRUE(rig.set(q));
    auto c = kivemu::v2::configT::decode(rig.memory().config);
    EXPECT_EQ(c.ppl, 230000u);
    EXPECT_EQ(c.decPPL, 5);
    EXPECT_EQ(c.sensGain, 5700);
    EXPECT_EQ(c.flowScale, 7);
    EXPECT_EQ(rig.memory().extd, before.extd);
    EXPECT_EQ(rig.get().ppl(), 2.3f);
}

// Two clients changing different fields of one meter at once: each change
// reads, modifies and writes, so one that fell between the other's read and
// write would put the other's old value back.
TEST(Q7xxProtoV2T, ConcurrentChangesOfOneMeterDoNotUndoEachOther) {
    rigT rig(q720, 4, consistentV2);
    std::atomic<int> ready{0};
    auto change = [&](bool scale) {
        for (++ready; ready < 2;)
            std::this_thread::yield();
        for (int i = 1; i <= 100; ++i) {
            const float v = scale ? float(i % 20 + 1) : float(400 + i); // scale byte: 10 x value
            kivsvc::configT c;
            if (scale)
                c.mutable_q7xx()->set_flow_scale(v);
            else
                c.mutable_q7xx()->set_adj_4ma(v);
            ASSERT_TRUE(rig.dev->setConfig(c, false));
            kivsvc::configT back;
            ASSERT_TRUE(rig.dev->getConfig(back));
            ASSERT_EQ(scale ? back.q7xx().flow_scale() : back.q7xx().adj_4ma(), v) << "round " << i;
        }
    };
    std::thread a(change, true), b(change, false);
    a.join();
    b.join();
}

TEST(Q7xxProtoV2T, OutputThresholdAndCutoffFollowTheFormulas) {
    rigT rig(q720, 4, consistentV2);
    q7xxConfigT q;
    q.set_dout_thresh(2.5f);
    q.set_vol_unit(kivsvc::dm3);
    q.set_cutoff_thresh(3);
    ASSERT_TRUE(rig.set(q));
    auto c = kivemu::v2::configT::decode(rig.memory().config);
    EXPECT_EQ(c.doutThresh, 0u); // 250 x 0.001, truncated
    EXPECT_EQ(c.cutoff, 15);     // flow scale 5 x 3
    auto e = kivemu::v2::extdT::decode(rig.memory().extd);
    EXPECT_EQ(e.doutThresh, 2.5f);
    EXPECT_EQ(e.cutoffThresh, 3.0f);
}

TEST(Q7xxProtoV2T, PersistentSetIsWhatRestoreReads) {
    rigT rig(q720, 4, consistentV2);
    q7xxConfigT q;
    q.set_adj_4ma(444);
    ASSERT_TRUE(rig.set(q, true));
    EXPECT_EQ(rig.memory().stored, rig.memory().config);
    q.set_adj_4ma(555);
    ASSERT_TRUE(rig.set(q, false));
    EXPECT_EQ(rig.get().adj_4ma(), 555.0f);
    EXPECT_EQ(rig.get(true).adj_4ma(), 444.0f);
    EXPECT_EQ(kivemu::v2::configT::decode(rig.memory().stored).adj4, 444);
}

TEST(Q7xxProtoV2T, UnstorableValuesLeaveTheMeterUntouched) {
    rigT rig(q720, 4, consistentV2);
    const memoryT before = rig.memory();
    q7xxConfigT q;
    q.set_adj_20ma(1);
    q.set_sens_gain(std::numeric_limits<float>::quiet_NaN());
    EXPECT_FALSE(rig.set(q));
    EXPECT_EQ(rig.memory().hostReports, before.hostReports); // not even a read
    q.Clear();
    q.set_adj_20ma(1);
    q.set_cutoff_delay(70000);
    EXPECT_FALSE(rig.set(q));
    EXPECT_EQ(rig.memory().hostReports, before.hostReports);

    // Wider than its byte only at the meter's flow scale: read, never written.
    q.Clear();
    q.set_adj_20ma(1);
    q.set_cutoff_thresh(60); // 5 x 60 = 300
    EXPECT_FALSE(rig.set(q));
    const memoryT after = rig.memory();
    EXPECT_EQ(after.hostReports, before.hostReports + 3);
    EXPECT_EQ(after.config, before.config);
    EXPECT_EQ(after.extd, before.extd);
    EXPECT_TRUE(rig.log.waitFor("cutoff_thresh=60 cannot be stored"));
}

TEST(Q7xxProtoV2T, DiameterAloneRewritesTheCookie) {
    rigT rig(q720, 4, consistentV2);
    rig.with([](meterT& m) { m.extdConfig()[22] = 0x01; });
    const memoryT before = rig.memory();
    q7xxConfigT q;
    q.set_diam("DN100");
    ASSERT_TRUE(rig.set(q));
    const memoryT after = rig.memory();
    bytesT cookie(60, 0);
    for (int i = 0; i < 5; ++i)
        cookie[i] = static_cast<unsigned char>("DN100"[i]);
    EXPECT_EQ(after.cookie, cookie);
    EXPECT_EQ(after.config, before.config);
    EXPECT_EQ(after.extd, before.extd);
    EXPECT_TRUE(rig.log.waitFor("WRN driver -> { fromCbusMsg } cfg.diam().data()='DN100'\n"));
}

TEST(Q7xxProtoV2T, MeasurementMovesWithTime) {
    rigT rig(q720, 4, [](meterT& m) {
        consistentV2(m);
        m.flow() = 4.0f;
    });
    kivsvc::measureT first;
    ASSERT_TRUE(rig.dev->getMeasure(first));
    ASSERT_TRUE(first.has_q7xx());
    const kivsvc::q7xxMeasureT& q = first.q7xx();
    EXPECT_EQ(q.flow(), 4.0f);
    EXPECT_EQ(q.direction(), kivsvc::forward);
    EXPECT_EQ(q.alarm(), kivsvc::q7xxMeasureT::none);
    EXPECT_EQ(q.freq(), 6u);             // 4 x PPL 1.5
    EXPECT_FLOAT_EQ(q.current(), 10.4f); // 4 of 0..10 between 4 and 20 mA
    EXPECT_EQ(q.curve(), 2u);
    EXPECT_EQ(q.kfactor(), 1.0f);

    // The totaliser counts on: ask until it has moved (bounded).
    auto total = [&] {
        kivsvc::measureT m;
        EXPECT_TRUE(rig.dev->getMeasure(m));
        return m.q7xx().tot_flow();
    };
    float later = 0;
    for (int i = 0; i < 5000 && (later = total()) <= q.tot_flow(); ++i) {
    }
    EXPECT_GT(later, q.tot_flow());

    // Resetting the totaliser starts it again from zero.
    q7xxConfigT reset;
    reset.set_reset_volume(true);
    ASSERT_TRUE(rig.set(reset));
    EXPECT_LT(total(), later);
    EXPECT_EQ(rig.memory().extd[22] & 0x80, 0);

    rig.with([](meterT& m) { m.flow() = -2.0f; });
    kivsvc::measureT rev;
    ASSERT_TRUE(rig.dev->getMeasure(rev));
    EXPECT_EQ(rev.q7xx().direction(), kivsvc::reverse);
}

TEST(Q7xxProtoV2T, StatusNeverTouchesTheMeter) {
    rigT rig(q720, 4);
    const unsigned before = rig.memory().hostReports;
    kivsvc::statusT s;
    ASSERT_TRUE(rig.dev->getStatus(s));
    EXPECT_EQ(s.opmode(), kivsvc::statusT::normal);
    EXPECT_EQ(s.cfgmode(), kivsvc::statusT::hw);
    EXPECT_EQ(rig.memory().hostReports, before);
}

TEST(Q7xxProtoV2T, Q710KeepsItsSensorTypeAndLogsWhatItWrites) {
    rigT rig("Q8.10 MAGMETER", 1, consistentV2);
    q7xxConfigT got = rig.get();
    EXPECT_EQ(got.sensor_type(), q7xxConfigT::sensorType_tkr03h);
    EXPECT_EQ(got.ccurve_id(), kivsvc::hardcoded_0);
    q7xxConfigT q;
    q.set_sensor_type(q7xxConfigT::sensorType_tkr01h);
    q.set_ccurve_id(kivsvc::hardcoded_3); // no curve in this layout
    ASSERT_TRUE(rig.set(q));
    EXPECT_EQ(rig.memory().config[27], 1);
    EXPECT_TRUE(rig.log.waitFor(
        std::string("WRN driver -> { _format } *********************** _format sensorType:") +
        '\x01' + "\n"));
    EXPECT_TRUE(rig.log.waitFor("WRN driver -> { _format }  usb -> PPL:150000 decPPL:5\n"));
}

TEST(Q7xxProtoV2T, FailedExchangeFailsTheRequest) {
    rigT rig(q720, 4);
    rig.with([](meterT& m) { m.faults().corrupt = 1; });
    kivsvc::configT c;
    EXPECT_FALSE(rig.dev->getConfig(c));
    EXPECT_FALSE(c.has_q7xx()); // nothing converted before the first reply
    rig.with([](meterT& m) { m.faults().unplugAfter = 3; });
    kivsvc::configT c2;
    EXPECT_FALSE(rig.dev->getConfig(c2));
}

TEST(Q7xxProtoV2T, ConfigurationResetBringsTheDefaultsBack) {
    rigT rig(q720, 4, consistentV2);
    const bytesT fresh = [] {
        kivemu::meterIdentityT id;
        id.snum = "x";
        return meterT(id).config();
    }();
    ASSERT_TRUE(rig.dev->reset(kivDevT::cfgReset));
    const q7xxConfigT q = rig.get();
    auto d = kivemu::v2::configT::decode(fresh);
    EXPECT_EQ(q.flow_scale(), d.flowScale / 10.0f);
    EXPECT_FLOAT_EQ(q.ppl(), static_cast<float>(d.pplValue()));
}

TEST(Q7xxProtoV1T, ConfigurationBothWays) {
    rigT rig("Q7.20 MAGMETER", 3, [](meterT& m) {
        auto c = kivemu::v1::configT::decode(m.config());
        c.flowScale = 25;
        c.cutoff = 10;
        c.outDigits = 2;
        c.volUnit = 0;
        c.doutThresh = 250;
        m.config() = c.encode();
        m.config().resize(meterT::configPayload, 0);
        m.hwSettings() = kivemu::v1::hwSettings(0, true);
    });
    const q7xxConfigT got = rig.get();
    EXPECT_EQ(got.kgain_min(), 2.0f);
    EXPECT_EQ(got.kgain_max(), 0.5f);
    EXPECT_EQ(got.cutoff_thresh(), 4.0f);
    EXPECT_EQ(got.dout_thresh(), 2.5f);
    EXPECT_EQ(got.hardware_config(), kivsvc::D20);
    EXPECT_EQ(got.out_type(), q7xxConfigT::outFREQ);
    EXPECT_FALSE(got.has_diam());
    EXPECT_FALSE(got.has_custom_diam());
    EXPECT_FALSE(got.has_flow_unit());

    const bytesT before = rig.memory().config;
    ASSERT_TRUE(rig.set(got));
    EXPECT_EQ(rig.memory().config, before);

    q7xxConfigT q;
    q.set_kgain_min(1);
    q.set_kgain_max(0.25f);
    q.set_adj_4ma(4);
    q.set_adj_20ma(20);
    q.set_diam("DN80");
    ASSERT_TRUE(rig.set(q, true));
    auto c = kivemu::v1::configT::decode(rig.memory().stored);
    EXPECT_EQ(c.kgainMin, 25);
    EXPECT_EQ(c.kgainMax, 100);
    EXPECT_EQ(c.adj4, 4);
    EXPECT_EQ(c.adj20, 20);
    EXPECT_TRUE(rig.log.waitFor("WRN driver -> { fromCbusMsg } cannot set pipe diameter in this "
                                "FW version, option is not supported, use jumpers instead\n"));
    EXPECT_EQ(rig.get(true).kgain_min(), 1.0f);
}

namespace {

using idsT = std::vector<std::pair<unsigned char, unsigned char>>;

idsT ids(std::initializer_list<q7xxMsgIdT> l) {
    idsT r;
    for (const auto& m : l)
        r.emplace_back(m.rid, m.mid);
    return r;
}

// The (report id, message id) of each report the host sent while `f` ran.
template <class F> idsT reportsOf(rigT& rig, F f) {
    const unsigned before = rig.memory().hostReports;
    f();
    idsT r;
    rig.with([&](meterT& m) {
        const auto& all = m.hostReportIds();
        const std::size_t n = m.hostReports() - before;
        EXPECT_LE(n, all.size());
        r.assign(all.end() - static_cast<std::ptrdiff_t>(std::min(n, all.size())), all.end());
    });
    return r;
}

} // namespace

// Each command exchanges its reports in this order; rig.set() ends with an
// identification request that tells when the meter has taken the writes.
TEST(Q7xxProtoV2T, CommandsExchangeTheirReportsInOrder) {
    using namespace q7xxMsgId;
    rigT rig(q720, 4, consistentV2);
    EXPECT_EQ(reportsOf(rig, [&] { rig.get(); }),
              ids({GETCFG(false), GETCOOKIE, GETEXTDCFG, GETHWSETTINGS}));
    EXPECT_EQ(reportsOf(rig, [&] { rig.get(true); }),
              ids({GETCFG(true), GETCOOKIE, GETEXTDCFG, GETHWSETTINGS}));
    q7xxConfigT q;
    q.set_adj_4ma(7);
    for (bool persistent : {false, true})
        EXPECT_EQ(reportsOf(rig, [&] { ASSERT_TRUE(rig.set(q, persistent)); }),
                  ids({GETCOOKIE, GETEXTDCFG, GETCFG(false), SETCOOKIE, SETEXTDCFG,
                       SETCFG(persistent), IDREQ}))
            << persistent;
    kivsvc::measureT m;
    EXPECT_EQ(reportsOf(rig, [&] { ASSERT_TRUE(rig.dev->getMeasure(m)); }), ids({GETMEASURE}));
}

TEST(Q7xxProtoV1T, CommandsExchangeTheirReportsInOrder) {
    using namespace q7xxMsgId;
    rigT rig("Q7.20 MAGMETER", 3);
    EXPECT_EQ(reportsOf(rig, [&] { rig.get(); }), ids({GETCFG(false), GETHWSETTINGS}));
    EXPECT_EQ(reportsOf(rig, [&] { rig.get(true); }), ids({GETCFG(true), GETHWSETTINGS}));
    q7xxConfigT q;
    q.set_adj_4ma(7);
    for (bool persistent : {false, true})
        EXPECT_EQ(reportsOf(rig, [&] { ASSERT_TRUE(rig.set(q, persistent)); }),
                  ids({GETCFG(false), SETCFG(persistent), IDREQ}))
            << persistent;
    kivsvc::measureT m;
    EXPECT_TRUE(reportsOf(rig, [&] { ASSERT_TRUE(rig.dev->getMeasure(m)); }).empty());
}

TEST(Q7xxProtoT, VersionFollowsTheSoftwareVersionByte) {
    for (unsigned char sw : {3, 4}) {
        rigT rig("Q7.20 MAGMETER", sw);
        const unsigned before = rig.memory().hostReports;
        kivsvc::measureT m;
        ASSERT_TRUE(rig.dev->getMeasure(m));
        EXPECT_EQ(m.has_q7xx(), sw >= 4) << int(sw);
        EXPECT_EQ(rig.memory().hostReports - before, sw >= 4 ? 1u : 0u);
        // The same adjustments land at swapped offsets.
        q7xxConfigT q;
        q.set_adj_4ma(4);
        q.set_adj_20ma(20);
        ASSERT_TRUE(rig.set(q));
        const bytesT c = rig.memory().config;
        EXPECT_EQ(c[34], sw >= 4 ? 20 : 4) << int(sw);
        EXPECT_EQ(c[36], sw >= 4 ? 4 : 20) << int(sw);
    }
}
