#include "commands.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>

#include "cfginput.h"
#include "output.pb.h"

namespace kivcli {

namespace pb = google::protobuf;

namespace {

using kivsvc::kivmsgT;

std::string modelName(kivsvc::reportDeviceT::modelT m) {
    return kivsvc::reportDeviceT::modelT_Name(m);
}

kivcliout::deviceT deviceJson(const deviceT& d) {
    kivcliout::deviceT s;
    s.set_dev_id(d.id);
    s.set_model(modelName(d.model));
    s.set_snum(d.snum);
    s.set_hwver(d.hwver);
    s.set_swver(d.swver);
    return s;
}

std::string deviceLine(const deviceT& d) {
    char b[160];
    std::snprintf(b, sizeof b, "%-4d %-8s %-26s %-4s %s", d.id, modelName(d.model).c_str(),
                  d.snum.c_str(), d.hwver.c_str(), d.swver.c_str());
    return b;
}

int failure(contextT& c, resultT r, const std::string& what) {
    switch (r) {
    case resultT::timedOut:
        return c.out.error(exUNREACHABLE, what + ": no reply from the device service in time");
    case resultT::unreachable:
        return c.out.error(exUNREACHABLE, what + ": the device service is not reachable");
    case resultT::badReply:
        return c.out.error(exREFUSED, what + ": unreadable reply from the device service");
    case resultT::ok:
        break;
    }
    return c.out.error(exREFUSED, what + ": refused");
}

long ms(double seconds) {
    return long(seconds * 1000.0 + 0.5);
}

// Connected, or the exit code of the failure (printed).
int connect(contextT& c, devClientT& client) {
    // Without --wait a running daemon and service answer within moments;
    // a second covers a busy machine.
    const long wait = c.o.wait > 0 ? ms(c.o.wait) : 1000;
    if (client.connect(wait) != resultT::ok)
        return c.out.error(exUNREACHABLE, "the device service is not running (no \"" +
                                              std::string(devClientT::driverNode) +
                                              "\" on IPC service \"" + devClientT::serviceName +
                                              "\")");
    return exOK;
}

// DEVICE as an identifier or a serial number; the exit code when not found.
int resolve(contextT& c, devClientT& client, const std::string& which, deviceT& dev,
            bool stay = false) {
    std::map<int, deviceT> all;
    const bool numeric = !which.empty() && which.size() < 10 &&
                         which.find_first_not_of("0123456789") == std::string::npos;
    // An identifier wins over a serial number that looks like one.
    const int id = numeric ? std::stoi(which) : -1;
    resultT r = client.devices(
        all, stay, [&](const deviceT& d) { return numeric ? d.id == id : d.snum == which; });
    if (r != resultT::ok)
        return failure(c, r, "listing the devices");
    if (numeric) {
        auto it = all.find(id);
        if (it != all.end()) {
            dev = it->second;
            return exOK;
        }
    }
    for (auto& d : all)
        if (d.second.snum == which) {
            dev = d.second;
            return exOK;
        }
    return c.out.error(exNODEVICE, "no device \"" + which + "\" (see \"kivsvc-cli list\")");
}

// The command polls `quit` from here on; true when a signal came already.
bool pollQuit(contextT& c) {
    c.polling->store(true);
    return c.quit->load();
}

std::string devName(const deviceT& d) {
    return "device " + std::to_string(d.id) + " (" + modelName(d.model) + " " + d.snum + ")";
}

int okResult(contextT& c, const deviceT& d, const std::string& text) {
    if (c.out.json()) {
        kivcliout::resultT s;
        s.set_result("ok");
        s.set_dev_id(d.id);
        c.out.object(s);
    } else {
        c.out.text(text);
    }
    return exOK;
}

} // namespace

int cmdList(contextT& c) {
    devClientT client(ms(c.o.timeout));
    if (int e = connect(c, client))
        return e;
    std::map<int, deviceT> all;
    if (resultT r = client.devices(all, false); r != resultT::ok)
        return failure(c, r, "listing the devices");
    if (c.out.json()) {
        kivcliout::deviceListT s;
        for (auto& d : all)
            *s.add_devices() = deviceJson(d.second);
        c.out.object(s);
        return exOK;
    }
    if (all.empty()) {
        c.out.text("no devices");
        return exOK;
    }
    char head[160];
    std::snprintf(head, sizeof head, "%-4s %-8s %-26s %-4s %s", "ID", "MODEL", "SERIAL", "HW",
                  "SW");
    c.out.text(head);
    for (auto& d : all)
        c.out.text(deviceLine(d.second));
    return exOK;
}

int cmdVersion(contextT& c) {
    devClientT client(ms(c.o.timeout));
    if (int e = connect(c, client))
        return e;
    kivmsgT reply;
    resultT r = client.call(kivmsgT::getSvcVersion, -1, reply);
    if (r != resultT::ok || reply.msg_id() != kivmsgT::svcVersionReply)
        return failure(c, r, "asking the service's version");
    if (c.out.json()) {
        kivcliout::versionT s;
        s.set_svc_version(reply.svc_version());
        c.out.object(s);
    } else {
        c.out.text(reply.svc_version());
    }
    return exOK;
}

int cmdGet(contextT& c, const std::string& what) {
    devClientT client(ms(c.o.timeout));
    if (int e = connect(c, client))
        return e;
    deviceT dev;
    if (int e = resolve(c, client, c.o.device, dev))
        return e;
    kivmsgT req, reply;
    req.set_dev_id(dev.id);
    kivmsgT::msgIdT expect;
    if (what == "config") {
        req.set_msg_id(kivmsgT::getConfig);
        if (c.o.stored)
            req.mutable_config()->set_persistent(true);
        expect = kivmsgT::reportConfig;
    } else if (what == "status") {
        req.set_msg_id(kivmsgT::getStatus);
        expect = kivmsgT::reportStatus;
    } else {
        req.set_msg_id(kivmsgT::getMeasure);
        expect = kivmsgT::reportMeasure;
    }
    resultT r = client.call(req, reply);
    if (r != resultT::ok || reply.msg_id() != expect)
        return failure(c, r, "reading the " + what + " of " + devName(dev));
    if (what == "config")
        c.out.message(reply.config().q7xx());
    else if (what == "status")
        c.out.message(reply.status());
    else
        c.out.message(reply.measure());
    return exOK;
}

int cmdSetConfig(contextT& c) {
    // The input first: a mistake in it is a usage error, whatever the service.
    std::string json;
    if (!c.o.file.empty()) {
        // A configuration is a few kilobytes; a bound keeps a wrong file
        // (a device, a log) from being read whole.
        constexpr std::size_t maxFile = 1 << 20;
        std::ifstream f(c.o.file, std::ios::binary);
        if (!f)
            return c.out.error(exUSAGE, "cannot read \"" + c.o.file + "\"");
        json.resize(maxFile + 1);
        f.read(&json[0], std::streamsize(json.size()));
        if (f.bad())
            return c.out.error(exUSAGE, "cannot read \"" + c.o.file + "\"");
        json.resize(std::size_t(f.gcount()));
        if (json.size() > maxFile)
            return c.out.error(exUSAGE, "\"" + c.o.file + "\" is larger than 1 MiB");
        if (json.empty())
            return c.out.error(exUSAGE, "\"" + c.o.file + "\" is empty");
    }
    kivsvc::q7xxConfigT change;
    std::string err;
    if (!json.empty() && !configFromJson(json, change, err))
        return c.out.error(exUSAGE, c.o.file + ": " + err);
    if (!assignConfig(c.o.assignments, change, err))
        return c.out.error(exUSAGE, err);
    if (c.o.file.empty() && c.o.assignments.empty())
        return c.out.error(exUSAGE, "nothing to set: give FIELD=VALUE or --file");

    devClientT client(ms(c.o.timeout));
    if (int e = connect(c, client))
        return e;
    deviceT dev;
    if (int e = resolve(c, client, c.o.device, dev))
        return e;
    // The change applies to the configuration in use, which it completes.
    kivmsgT reply;
    resultT r = client.call(kivmsgT::getConfig, dev.id, reply);
    if (r != resultT::ok || reply.msg_id() != kivmsgT::reportConfig)
        return failure(c, r, "reading the config of " + devName(dev));
    kivmsgT req;
    req.set_msg_id(kivmsgT::setConfig);
    req.set_dev_id(dev.id);
    kivsvc::configT* cfg = req.mutable_config();
    *cfg->mutable_q7xx() = reply.config().q7xx();
    for (const pb::FieldDescriptor* f : [&] {
             std::vector<const pb::FieldDescriptor*> v;
             change.GetReflection()->ListFields(change, &v);
             return v;
         }())
        cfg->mutable_q7xx()->GetReflection()->ClearField(cfg->mutable_q7xx(), f);
    cfg->mutable_q7xx()->MergeFrom(change);
    cfg->set_persistent(c.o.save);
    r = client.call(req, reply);
    if (r != resultT::ok || !acked(reply))
        return failure(c, r, "setting the config of " + devName(dev));
    return okResult(c, dev,
                    c.o.save ? "configuration applied and stored" : "configuration applied");
}

int cmdReset(contextT& c) {
    devClientT client(ms(c.o.timeout));
    if (int e = connect(c, client))
        return e;
    deviceT dev;
    if (int e = resolve(c, client, c.o.device, dev))
        return e;
    kivmsgT req, reply;
    req.set_msg_id(kivmsgT::command);
    req.set_dev_id(dev.id);
    req.mutable_cmd()->set_cmd(c.o.resetKind == "sw"   ? kivsvc::commandT::swReset
                               : c.o.resetKind == "hw" ? kivsvc::commandT::hwReset
                                                       : kivsvc::commandT::cfgReset);
    resultT r = client.call(req, reply);
    if (r != resultT::ok || !acked(reply))
        return failure(c, r, c.o.resetKind + " reset of " + devName(dev));
    return okResult(c, dev, c.o.resetKind + " reset done");
}

namespace {

void printEvent(contextT& c, const kivmsgT& report) {
    deviceT d = deviceOf(report);
    const bool attached = report.report_device().event() == kivsvc::reportDeviceT::attached;
    if (c.out.json()) {
        kivcliout::deviceT s;
        s.set_event(attached ? "attached" : "removed");
        if (attached)
            s.MergeFrom(deviceJson(d));
        s.set_dev_id(d.id);
        c.out.object(s);
    } else {
        c.out.text(attached ? "attached " + deviceLine(d) : "removed  " + std::to_string(d.id));
    }
}

int watchMeasure(contextT& c, devClientT& client) {
    deviceT dev;
    if (int e = resolve(c, client, c.o.measureDevice, dev, true))
        return e;
    if (pollQuit(c))
        return exOK;
    long n = 0;
    for (;;) {
        kivmsgT reply;
        resultT r = client.call(kivmsgT::getMeasure, dev.id, reply);
        if (r != resultT::ok || reply.msg_id() != kivmsgT::reportMeasure)
            return failure(c, r, "reading the measure of " + devName(dev));
        if (c.out.json()) {
            kivcliout::measureLineT s;
            s.set_dev_id(dev.id);
            *s.mutable_measure() = reply.measure();
            c.out.object(s);
        } else {
            c.out.text(reply.measure().ShortDebugString());
        }
        if (c.o.count > 0 && ++n >= c.o.count)
            return exOK;
        // The pause also watches for the device's removal.
        const auto until =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(ms(c.o.interval));
        for (;;) {
            if (c.quit->load())
                return exOK;
            long left = long(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 until - std::chrono::steady_clock::now())
                                 .count());
            if (left <= 0)
                break;
            kivmsgT report;
            if (client.nextReport(report, std::min(left, 200L)) && report.dev_id() == dev.id &&
                report.report_device().event() == kivsvc::reportDeviceT::removed)
                return c.out.error(exNODEVICE, devName(dev) + " was removed");
        }
    }
}

} // namespace

int cmdWatch(contextT& c) {
    devClientT client(ms(c.o.timeout));
    if (int e = connect(c, client))
        return e;
    if (!c.o.measureDevice.empty())
        return watchMeasure(c, client);
    if (pollQuit(c))
        return exOK;
    kivmsgT reply;
    resultT r = client.call(kivmsgT::registerForDeviceNotif, -1, reply);
    if (r != resultT::ok)
        return failure(c, r, "registering for device reports");
    long n = 0;
    while (!c.quit->load()) {
        kivmsgT report;
        if (client.nextReport(report, 200)) {
            printEvent(c, report);
            if (c.o.count > 0 && ++n >= c.o.count)
                return exOK;
        } else if (client.driverGone()) {
            return c.out.error(exUNREACHABLE, "the device service went away");
        }
    }
    return exOK;
}

namespace {

// A bar on a terminal; JSON lines otherwise.
class progressViewT {
public:
    explicit progressViewT(bool json) : _bar(!json && ::isatty(STDOUT_FILENO)) {}

    void operator()(const std::string& stage, uint64_t done, uint64_t total) {
        const int pct = total ? int(done * 100 / total) : 100;
        if (stage == _stage && pct == _pct)
            return;
        _stage = stage;
        _pct = pct;
        if (_bar) {
            const int width = 40, fill = pct * width / 100;
            std::printf("\r%-8s [%s%s] %3d%% %llu/%llu", stage.c_str(),
                        std::string(fill, '#').c_str(), std::string(width - fill, '.').c_str(), pct,
                        (unsigned long long)done, (unsigned long long)total);
            if (done == total)
                std::printf("\n");
            std::fflush(stdout);
            return;
        }
        kivcliout::progressT s;
        s.set_event("progress");
        s.set_stage(stage);
        s.set_done(uint32_t(done));
        s.set_total(uint32_t(total));
        std::cout << outputT::toJson(s) << "\n" << std::flush;
    }

    // Ends a bar cut short.
    void finish() {
        if (_bar && _pct >= 0 && _pct < 100)
            std::printf("\n");
        std::fflush(stdout);
    }

private:
    bool _bar;
    std::string _stage;
    int _pct = -1;
};

std::string hex(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%08x", v);
    return b;
}

} // namespace

int cmdFlash(contextT& c) {
    imageT& img = c.o.img;
    std::string err;
    if (!loadImage(c.o.image, img, err))
        return c.out.error(exUSAGE, err);

    devClientT client(ms(c.o.timeout));
    if (int e = connect(c, client))
        return e;
    deviceT dev;
    // Registered for the whole procedure, so that a removal is seen.
    if (int e = resolve(c, client, c.o.device, dev, true))
        return e;
    if (dev.model != kivsvc::reportDeviceT::NBOOT)
        return c.out.error(exREFUSED, devName(dev) + " is not in bootloader mode");

    if (pollQuit(c))
        return c.out.error(exREFUSED, "interrupted before anything was written");
    progressViewT view(c.out.json());
    flasherT f(
        client, dev.id, [&](const std::string& s, uint64_t d, uint64_t t) { view(s, d, t); },
        *c.quit);
    flasherT::outcomeT o = f.run(img);
    view.finish();
    if (o.exitCode != exOK)
        return c.out.error(o.exitCode, devName(dev) + ": " + o.error);
    if (c.out.json()) {
        kivcliout::flashDoneT s;
        s.set_event("done");
        s.set_result("ok");
        s.set_dev_id(dev.id);
        s.set_crc32(o.deviceCrc);
        *s.mutable_record() = o.after;
        c.out.object(s);
    } else {
        c.out.text("flashed " + std::to_string(img.data.size()) + " bytes at " + hex(img.offset) +
                   " onto " + devName(dev) + ", checksum " + hex(o.deviceCrc) +
                   " matches; application record written (version " + hex(img.version) + ")");
    }
    return exOK;
}

} // namespace kivcli
