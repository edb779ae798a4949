// kivsvc-cli as its users run it: rux_ipcd, kivsvc-emu and kivsvc-drv in
// child processes sharing a private runtime and emulation directory, and the
// client started once per command.
#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <csignal>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "messages.pb.h"
#include "output.pb.h"
#include "rux_testsupport.h"

namespace {

using rux::test::msT;
using rux::test::processT;
namespace pb = google::protobuf;

struct runT {
    int code = -1;
    std::string out;
};

// Lines of `out` that are JSON objects.
std::vector<std::string> jsonLines(const std::string& out) {
    std::vector<std::string> v;
    std::istringstream in(out);
    for (std::string l; std::getline(in, l);)
        if (!l.empty() && l[0] == '{')
            v.push_back(l);
    return v;
}

template <class M> bool parse(const std::string& json, M& m) {
    return pb::util::JsonStringToMessage(json, &m).ok();
}

class systemT {
public:
    systemT() {
        _home = _dir.sub("home", true);
        _run = _dir.sub("run", true);
        _emu = _dir.sub("emu", true);
        _logs = _dir.sub("log", true);
    }

    std::map<std::string, std::string> env() const {
        return {{"HOME", _home}, {"RUX_RUNTIME_DIR", _run}, {"RUX_HID_EMU_DIR", _emu}};
    }

    bool startDaemon() {
        processT::optionsT o;
        o.argv = {RUX_IPCD, "-c", RUX_IPC_CFG, "-D", "console", "-L", "info", "-G", _logs};
        o.env = env();
        o.notify = true;
        ipcd = std::make_unique<processT>(o);
        return ipcd->start() && ipcd->waitForNotify("READY=1");
    }

    bool startEmulator() {
        processT::optionsT o;
        o.argv = {KIVSVC_EMU,
                  "-m",
                  "Q8.20 MAGMETER,SN000201,5",
                  "-m",
                  "Q7.20 MAGMETER,SN000102,2",
                  "-D",
                  "console",
                  "-L",
                  "info",
                  "-G",
                  _logs};
        o.env = env();
        o.notify = true;
        o.stdinPipe = true;
        emu = std::make_unique<processT>(o);
        return emu->start() && emu->waitForNotify("READY=1") &&
               emu->waitForOutput("plugged meter2");
    }

    // A line typed at the emulator's console; waits for `answer`.
    bool emuCommand(const std::string& line, const std::string& answer) {
        size_t from = emu->output().size();
        return emu->writeInput(line + "\r") && emu->waitForOutput(answer, msT(10000), from);
    }

    bool startDriver() {
        processT::optionsT o;
        o.argv = {KIVSVC_DRV, "-D", "console", "-L", "info", "-B", "127.0.0.1:0", "-G", _logs};
        o.env = env();
        o.notify = true;
        drv = std::make_unique<processT>(o);
        return drv->start() && drv->waitForNotify("READY=1");
    }

    bool startAll() {
        return startDaemon() && startEmulator() && startDriver() &&
               drv->waitForOutput("SN000201") && drv->waitForOutput("SN000102");
    }

    // A device plugged in at the emulator's console ("meter add ..." or
    // "boot add ..."); its emulator name ("meterN", "bootN"), once the device
    // service knows it by `snum`.
    std::string plug(const std::string& line, const std::string& snum) {
        const std::string kind = line.substr(0, line.find(' '));
        size_t from = emu->output().size();
        if (!emuCommand(line, "plugged " + kind) || !drv->waitForOutput(snum))
            return "";
        size_t at = emu->output().find("plugged " + kind, from) + 8;
        // The whole name, not a part that came first.
        if (!emu->waitForOutput("\n", msT(10000), at))
            return "";
        std::string out = emu->output();
        return out.substr(at, out.find_first_of(" \r\n", at) - at);
    }
    std::string addBoot(const std::string& snum) { return plug("boot add " + snum, snum); }

    processT::optionsT cli(std::vector<std::string> args) const {
        processT::optionsT o;
        o.argv = {KIVSVC_CLI};
        o.argv.insert(o.argv.end(), args.begin(), args.end());
        o.env = env();
        return o;
    }

    runT run(std::vector<std::string> args) {
        processT p(cli(std::move(args)));
        runT r;
        if (!p.start() || !p.wait(msT(60000)))
            return r;
        r.code = p.exitCode();
        r.out = p.output();
        return r;
    }

    std::string file(const std::string& name, const std::string& bytes) const {
        std::string path = _dir.sub(name);
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    rux::test::tempDirT _dir;
    std::string _home, _run, _emu, _logs;
    std::unique_ptr<processT> ipcd, emu, drv;
};

// One running system for the tests of a suite; each test that changes
// devices brings its own.
class CliTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        sys = new systemT;
        ok = sys->startAll();
    }
    static void TearDownTestSuite() {
        delete sys;
        sys = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(ok) << "the system did not come up"; }

    static systemT* sys;
    static bool ok;
};
systemT* CliTest::sys = nullptr;
bool CliTest::ok = false;

std::string image(size_t n) {
    std::string s(n, '\0');
    uint32_t x = 0x12345678;
    for (auto& c : s) {
        x = x * 1103515245u + 12345u;
        c = char(x >> 16);
    }
    return s;
}

uint32_t crcOf(const std::string& s) {
    return uint32_t(
        crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(s.data()), uInt(s.size())));
}

// --- usage and reachability ---------------------------------------------

TEST(CliUsage, BadCommandLinesExitTwoWithoutTheService) {
    systemT s; // nothing running: a usage error must not even look
    EXPECT_EQ(s.run({}).code, 2);
    EXPECT_EQ(s.run({"frobnicate"}).code, 2);
    EXPECT_EQ(s.run({"reset", "1", "warm"}).code, 2);
    EXPECT_EQ(s.run({"get", "config"}).code, 2);
    EXPECT_EQ(s.run({"--timeout", "0", "list"}).code, 2);
    runT r = s.run({"set", "config", "1", "no_such_field=1"});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.out.find("no configuration field \"no_such_field\""), std::string::npos) << r.out;
    EXPECT_EQ(s.run({"set", "config", "1"}).code, 2);
    EXPECT_EQ(s.run({"flash", "1", s.file("empty.bin", "")}).code, 2);
    EXPECT_EQ(s.run({"flash", "--offset", "0x1zz", "1", s.file("one.bin", "x")}).code, 2);
}

TEST(CliUsage, ErrorsAreJsonObjectsWithJson) {
    systemT s;
    runT r = s.run({"--json", "reset", "1", "warm"});
    EXPECT_EQ(r.code, 2);
    auto lines = jsonLines(r.out);
    ASSERT_EQ(lines.size(), 1u) << r.out;
    kivcliout::errorT e;
    ASSERT_TRUE(parse(lines[0], e)) << lines[0];
    EXPECT_EQ(e.exit_code(), 2);
    EXPECT_FALSE(e.error().empty());
}

TEST(CliUsage, HelpDocumentsExitCodesAndTheImageFormat) {
    systemT s;
    runT r = s.run({"--help"});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("EXIT STATUS"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("4  no such device"), std::string::npos) << r.out;
    r = s.run({"flash", "--help"});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("raw image"), std::string::npos) << r.out;
}

TEST(CliReach, NoDaemonExitsThree) {
    systemT s;
    runT r = s.run({"--json", "list"});
    EXPECT_EQ(r.code, 3) << r.out;
    auto lines = jsonLines(r.out);
    ASSERT_EQ(lines.size(), 1u) << r.out;
    kivcliout::errorT e;
    ASSERT_TRUE(parse(lines[0], e));
    EXPECT_EQ(e.exit_code(), 3);
}

TEST(CliReach, DaemonWithoutDeviceServiceExitsThree) {
    systemT s;
    ASSERT_TRUE(s.startDaemon());
    runT r = s.run({"version"});
    EXPECT_EQ(r.code, 3) << r.out;
    EXPECT_NE(r.out.find("not running"), std::string::npos) << r.out;
}

TEST(CliReach, WaitOutlastsTheSystemStartingLate) {
    systemT s;
    processT cli(s.cli({"--wait", "60", "version"}));
    ASSERT_TRUE(cli.start());
    ASSERT_TRUE(s.startDaemon());
    ASSERT_TRUE(s.startEmulator());
    ASSERT_TRUE(s.startDriver());
    ASSERT_TRUE(cli.wait(msT(60000)));
    EXPECT_EQ(cli.exitCode(), 0) << cli.output();
    EXPECT_NE(cli.output().find("1.4.3.14"), std::string::npos) << cli.output();
}

TEST(CliReach, SigtermEndsAWaitingClientPromptly) {
    systemT s;
    processT cli(s.cli({"--wait", "600", "list"}));
    ASSERT_TRUE(cli.start());
    ASSERT_TRUE(s.startDaemon()); // the client is bound and waits for the service
    cli.signal(SIGTERM);
    ASSERT_TRUE(cli.wait(msT(10000)));
    EXPECT_EQ(cli.termSignal() ? cli.termSignal() : cli.exitCode() - 128, SIGTERM);
}

// --- reading ---------------------------------------------------------------

TEST_F(CliTest, ListShowsEveryMeter) {
    runT r = sys->run({"list"});
    ASSERT_EQ(r.code, 0) << r.out;
    EXPECT_NE(r.out.find("SERIAL"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("SN000201"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("SN000102"), std::string::npos) << r.out;

    r = sys->run({"--json", "list"});
    ASSERT_EQ(r.code, 0) << r.out;
    auto lines = jsonLines(r.out);
    ASSERT_EQ(lines.size(), 1u) << r.out;
    kivcliout::deviceListT s;
    ASSERT_TRUE(parse(lines[0], s)) << lines[0];
    std::map<std::string, std::string> models;
    for (const auto& d : s.devices())
        models[d.snum()] = d.model();
    EXPECT_EQ(models["SN000201"], "Q720");
    EXPECT_EQ(models["SN000102"], "Q720");
}

TEST_F(CliTest, VersionOfTheService) {
    runT r = sys->run({"version"});
    ASSERT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(r.out, "1.4.3.14\n");
    r = sys->run({"--json", "version"});
    ASSERT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(r.out, "{\"svc_version\":\"1.4.3.14\"}\n");
}

TEST_F(CliTest, GetBySerialNumberAndByIdentifier) {
    runT r = sys->run({"--json", "get", "status", "SN000201"});
    ASSERT_EQ(r.code, 0) << r.out;
    kivsvc::statusT st;
    ASSERT_TRUE(parse(jsonLines(r.out).at(0), st)) << r.out;
    EXPECT_TRUE(st.has_opmode());

    // The identifier that list gives names the same meter.
    runT l = sys->run({"--json", "list"});
    kivcliout::deviceListT s;
    ASSERT_TRUE(parse(jsonLines(l.out).at(0), s));
    std::string id;
    for (const auto& d : s.devices())
        if (d.snum() == "SN000201")
            id = std::to_string(d.dev_id());
    ASSERT_FALSE(id.empty());
    r = sys->run({"get", "status", id});
    ASSERT_EQ(r.code, 0) << r.out;
    EXPECT_NE(r.out.find("opmode: "), std::string::npos) << r.out;

    r = sys->run({"get", "measure", "SN000201"});
    ASSERT_EQ(r.code, 0) << r.out;
    r = sys->run({"--json", "get", "measure", "SN000201"});
    ASSERT_EQ(r.code, 0) << r.out;
    kivsvc::measureT m;
    ASSERT_TRUE(parse(jsonLines(r.out).at(0), m)) << r.out;
    EXPECT_TRUE(m.has_q7xx());

    r = sys->run({"get", "config", "SN000201"});
    ASSERT_EQ(r.code, 0) << r.out;
    EXPECT_NE(r.out.find("ppl: "), std::string::npos) << r.out;
    r = sys->run({"--json", "get", "config", "--stored", "SN000201"});
    ASSERT_EQ(r.code, 0) << r.out;
    kivsvc::q7xxConfigT cfg;
    ASSERT_TRUE(parse(jsonLines(r.out).at(0), cfg)) << r.out;
}

TEST_F(CliTest, UnknownDeviceExitsFour) {
    runT r = sys->run({"get", "status", "NOSUCHSN"});
    EXPECT_EQ(r.code, 4) << r.out;
    EXPECT_NE(r.out.find("no device \"NOSUCHSN\""), std::string::npos) << r.out;
    r = sys->run({"--json", "reset", "999", "sw"});
    EXPECT_EQ(r.code, 4) << r.out;
    kivcliout::errorT e;
    ASSERT_TRUE(parse(jsonLines(r.out).at(0), e)) << r.out;
    EXPECT_EQ(e.exit_code(), 4);
}

TEST_F(CliTest, RequestsADeviceRefusesExitOne) {
    ASSERT_FALSE(sys->addBoot("BLREFUSE1").empty());
    runT r = sys->run({"get", "config", "BLREFUSE1"}); // a bootloader has no configuration
    EXPECT_EQ(r.code, 1) << r.out;
    r = sys->run({"flash", "SN000201", sys->file("fw_meter.bin", image(100))});
    EXPECT_EQ(r.code, 1) << r.out; // not in bootloader mode
    EXPECT_NE(r.out.find("not in bootloader mode"), std::string::npos) << r.out;
}

TEST_F(CliTest, SlowServiceExitsThreeAtTheTimeout) {
    const std::string boot = sys->addBoot("BLSLOW1");
    ASSERT_FALSE(boot.empty());
    // The bootloader answers late: the service's own wait outlasts ours.
    ASSERT_TRUE(sys->emuCommand("boot fault " + boot + " delay 1 ms 4000", "set delay"));
    runT r =
        sys->run({"--timeout", "0.5", "flash", "BLSLOW1", sys->file("fw_slow.bin", image(56))});
    EXPECT_EQ(r.code, 3) << r.out;
    EXPECT_NE(r.out.find("in time"), std::string::npos) << r.out;
}

// --- changing --------------------------------------------------------------

TEST_F(CliTest, SetConfigThenGetConfigRoundTrip) {
    runT r = sys->run({"set", "config", "SN000201", "ppl=7.5", "cutoff_thresh=0.25"});
    ASSERT_EQ(r.code, 0) << r.out;
    EXPECT_NE(r.out.find("configuration applied"), std::string::npos) << r.out;
    r = sys->run({"--json", "get", "config", "SN000201"});
    ASSERT_EQ(r.code, 0) << r.out;
    kivsvc::q7xxConfigT cfg;
    ASSERT_TRUE(parse(jsonLines(r.out).at(0), cfg)) << r.out;
    EXPECT_FLOAT_EQ(cfg.ppl(), 7.5f);
    EXPECT_FLOAT_EQ(cfg.cutoff_thresh(), 0.25f);

    // What get prints as JSON, set reads back; --save stores it.
    cfg.set_ppl(3.25f);
    std::string json;
    ASSERT_TRUE(pb::util::MessageToJsonString(cfg, &json).ok());
    r = sys->run(
        {"--json", "set", "config", "SN000201", "--save", "--file", sys->file("cfg.json", json)});
    ASSERT_EQ(r.code, 0) << r.out;
    kivcliout::resultT res;
    ASSERT_TRUE(parse(jsonLines(r.out).at(0), res)) << r.out;
    EXPECT_EQ(res.result(), "ok");
    r = sys->run({"--json", "get", "config", "--stored", "SN000201"});
    ASSERT_EQ(r.code, 0) << r.out;
    ASSERT_TRUE(parse(jsonLines(r.out).at(0), cfg)) << r.out;
    EXPECT_FLOAT_EQ(cfg.ppl(), 3.25f);
}

TEST_F(CliTest, BadConfigFileIsAUsageError) {
    runT r = sys->run({"set", "config", "SN000201", "--file", sys->file("bad.json", "{\"ppl\":")});
    EXPECT_EQ(r.code, 2) << r.out;
    r = sys->run({"set", "config", "SN000201", "--file", sys->file("bad2.json", "{\"nope\":1}")});
    EXPECT_EQ(r.code, 2) << r.out;
    r = sys->run({"set", "config", "SN000201", "--file", "/dev/zero"});
    EXPECT_EQ(r.code, 2) << r.out;
    EXPECT_NE(r.out.find("larger than"), std::string::npos) << r.out;
}

TEST_F(CliTest, ResetOfAMeter) {
    runT r = sys->run({"reset", "SN000201", "sw"});
    EXPECT_EQ(r.code, 0) << r.out;
    r = sys->run({"--json", "reset", "SN000201", "cfg"});
    EXPECT_EQ(r.code, 0) << r.out;
}

// --- watching --------------------------------------------------------------

TEST_F(CliTest, WatchSeesAPlugAndAnUnplug) {
    processT w(sys->cli({"--json", "watch"}));
    ASSERT_TRUE(w.start());
    ASSERT_TRUE(w.waitForOutput("SN000102")); // the devices already there come first
    const std::string name = sys->plug("meter add \"Q8.20 MAGMETER\" SNWATCH1 -sw 5", "SNWATCH1");
    ASSERT_FALSE(name.empty());
    ASSERT_TRUE(w.waitForOutput("SNWATCH1"));
    // Which identifier it got, from its attached line.
    std::string id;
    for (auto& l : jsonLines(w.output())) {
        kivcliout::deviceT s;
        if (parse(l, s) && s.snum() == "SNWATCH1")
            id = std::to_string(s.dev_id());
    }
    ASSERT_FALSE(id.empty()) << w.output();
    ASSERT_TRUE(sys->emuCommand("meter remove " + name, "removed " + name))
        << "[" << name << "]" << sys->emu->output().substr(sys->emu->output().size() - 400);
    auto removed = [&] {
        for (auto& l : jsonLines(w.output())) {
            kivcliout::deviceT s;
            if (parse(l, s) && s.event() == "removed" && std::to_string(s.dev_id()) == id)
                return true;
        }
        return false;
    };
    size_t from = 0;
    while (!removed()) { // each removed line is one candidate
        ASSERT_TRUE(w.waitForOutput("\"removed\"", msT(10000), from)) << w.output();
        from = w.output().find("\"removed\"", from) + 1;
    }
    w.signal(SIGTERM);
    ASSERT_TRUE(w.wait());
    EXPECT_EQ(w.exitCode(), 0) << w.output();
}

TEST_F(CliTest, WatchMeasureCounts) {
    runT r = sys->run(
        {"--json", "watch", "--measure", "SN000201", "--interval", "0.05", "--count", "3"});
    ASSERT_EQ(r.code, 0) << r.out;
    auto lines = jsonLines(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    kivcliout::measureLineT s;
    ASSERT_TRUE(parse(lines[2], s)) << lines[2];
    EXPECT_TRUE(s.has_measure()) << lines[2];
}

TEST_F(CliTest, TwoClientsAtOnce) {
    processT w(sys->cli({"watch"}));
    ASSERT_TRUE(w.start());
    ASSERT_TRUE(w.waitForOutput("SN000201"));
    // A second client while the first one holds its node name.
    runT r = sys->run({"list"});
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_NE(r.out.find("SN000201"), std::string::npos) << r.out;
    w.signal(SIGINT);
    ASSERT_TRUE(w.wait());
    EXPECT_EQ(w.exitCode(), 0) << w.output();
}

// --- flashing --------------------------------------------------------------

TEST_F(CliTest, FlashWritesTheImageAndThenTheRecord) {
    ASSERT_FALSE(sys->addBoot("BLFLASH1").empty());
    const std::string img = image(1000); // 17 full blocks and a short one
    runT r = sys->run({"--json", "flash", "--offset", "0x100", "--fw-version", "0x0203", "--magic",
                       "0xA5A5A5A5", "BLFLASH1", sys->file("fw1.bin", img)});
    ASSERT_EQ(r.code, 0) << r.out;
    auto lines = jsonLines(r.out);
    ASSERT_FALSE(lines.empty());
    kivcliout::flashDoneT done;
    ASSERT_TRUE(parse(lines.back(), done)) << lines.back();
    EXPECT_EQ(done.result(), "ok");
    EXPECT_EQ(done.crc32(), crcOf(img));
    const kivsvc::bootAppDataT& rec = done.record();
    EXPECT_EQ(rec.crc32(), crcOf(img));
    EXPECT_EQ(rec.len(), 1000u);
    EXPECT_EQ(rec.offset(), 0x100u);
    EXPECT_EQ(rec.version(), 0x0203u);
    EXPECT_EQ(rec.magic(), 0xA5A5A5A5u);
    // Progress came as JSON lines, ending with the whole image written.
    EXPECT_NE(r.out.find("\"stage\":\"write\""), std::string::npos) << r.out;
}

TEST_F(CliTest, ChecksumMismatchKeepsTheRecordUnwritten) {
    const std::string boot = sys->addBoot("BLSTALE1");
    ASSERT_FALSE(boot.empty());
    const std::string img = image(600);
    const std::string path = sys->file("fw2.bin", img);
    runT r = sys->run({"flash", "--magic", "7", "--fw-version", "1", "BLSTALE1",
                       sys->file("fw2old.bin", image(200))});
    ASSERT_EQ(r.code, 0) << r.out;
    // Two blocks stored altered and acknowledged: only the checksum tells.
    if (!sys->emuCommand("boot fault " + boot + " garble 2", "set garble"))
        GTEST_SKIP() << "kivsvc-emu has no such fault knob";
    r = sys->run({"flash", "--fw-version", "2", "BLSTALE1", path});
    EXPECT_EQ(r.code, 1) << r.out;
    EXPECT_NE(r.out.find("checksum mismatch"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("not written"), std::string::npos) << r.out;

    // Still in bootloader mode, the old record in place: a second try succeeds.
    r = sys->run({"--json", "flash", "BLSTALE1", path});
    ASSERT_EQ(r.code, 0) << r.out;
    kivcliout::flashDoneT done;
    ASSERT_TRUE(parse(jsonLines(r.out).back(), done));
    const kivsvc::bootAppDataT& rec = done.record();
    EXPECT_EQ(rec.crc32(), crcOf(img));
    EXPECT_EQ(rec.len(), 600u);
    EXPECT_EQ(rec.magic(), 7u); // kept from the record of the first image
    EXPECT_EQ(rec.version(), 0u);
}

TEST_F(CliTest, DeviceLostMidFlashStops) {
    const std::string boot = sys->addBoot("BLLOST1");
    ASSERT_FALSE(boot.empty());
    if (!sys->emuCommand("boot fault " + boot + " reboot 5", "set reboot"))
        GTEST_SKIP() << "kivsvc-emu has no such fault knob";
    size_t from = sys->drv->output().size();
    runT r = sys->run({"flash", "BLLOST1", sys->file("fw3.bin", image(2000))});
    EXPECT_EQ(r.code, 1) << r.out;
    EXPECT_NE(r.out.find("removed"), std::string::npos) << r.out;
    // It comes back in bootloader mode and takes the image then.
    ASSERT_TRUE(sys->drv->waitForOutput("BLLOST1", msT(10000), from));
    r = sys->run({"--wait", "10", "flash", "BLLOST1", sys->file("fw3.bin", image(2000))});
    EXPECT_EQ(r.code, 0) << r.out;
}

TEST_F(CliTest, RefusedBlockStops) {
    const std::string boot = sys->addBoot("BLFAIL1");
    ASSERT_FALSE(boot.empty());
    ASSERT_TRUE(sys->emuCommand("boot fault " + boot + " fail 1", "set fail")) << boot;
    runT r = sys->run({"--json", "flash", "BLFAIL1", sys->file("fw4.bin", image(300))});
    EXPECT_EQ(r.code, 1) << r.out;
    kivcliout::errorT e;
    ASSERT_TRUE(parse(jsonLines(r.out).back(), e)) << r.out;
    EXPECT_NE(e.error().find("refused"), std::string::npos);
}

TEST_F(CliTest, FlashShowsABarOnATerminal) {
    ASSERT_FALSE(sys->addBoot("BLTTY1").empty());
    processT::optionsT o = sys->cli({"flash", "BLTTY1", sys->file("fw5.bin", image(560))});
    o.pty = true;
    processT p(o);
    ASSERT_TRUE(p.start());
    ASSERT_TRUE(p.wait(msT(60000)));
    EXPECT_EQ(p.exitCode(), 0) << p.output();
    EXPECT_NE(p.output().find("write    [####"), std::string::npos) << p.output();
    EXPECT_NE(p.output().find("100% 560/560"), std::string::npos) << p.output();
    EXPECT_NE(p.output().find("application record written"), std::string::npos) << p.output();
}

} // namespace
