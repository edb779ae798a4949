#include "sys_menu.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <list>
#include <sstream>

#include "cli/action.h"
#include "cli/args.h"
#include "cli/output.h"
#include "gas/console/telnet_session.h"
#include "gas/console/telnet_srv.h"
#include "logger/logger.h"
#include "sal/thread.h"

namespace rux::impl {

namespace {

using outT = std::shared_ptr<cliOutputT>;

std::string pad(const std::string& s, std::size_t width) {
    return s.size() >= width ? s : s + std::string(width - s.size(), ' ');
}

std::string lower(std::string s) {
    for (auto& c : s)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string upper(std::string s) {
    for (auto& c : s)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

void say(const outT& out, const std::string& text) {
    out->text(text);
    out->flush();
}

// A decimal identifier as typed; false for anything else.
bool parseId(const std::string& text, uint32_t& id) {
    if (text.empty() || text.size() > 10 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    unsigned long v = std::strtoul(text.c_str(), nullptr, 10);
    if (v > 0xffffffffUL)
        return false;
    id = uint32_t(v);
    return true;
}

template <class F>
std::shared_ptr<cliCmdT> command(const std::string& name, const std::string& help, F f) {
    auto c = cliCmdT::create(name, help);
    c->action(cliActionT::create(std::move(f)));
    return c;
}

std::shared_ptr<cliParamT> required(std::shared_ptr<cliParamT> p) {
    p->flags(p->flags() | cliElemT::enREQUIRED);
    return p;
}

std::shared_ptr<cliParamT> levelParam() {
    auto p = cliParamT::create("level", "log level");
    for (int i = log::NODUMP; i <= log::DUMP; ++i)
        p->add(cliValT::create(lower(loggerT::lev2str(i)), "level " + std::to_string(i)));
    return p;
}

std::shared_ptr<cliParamT> yesNoParam(const std::string& name, const std::string& help) {
    auto p = cliParamT::create(name, help);
    p->add(cliValT::create("yes", "on"));
    p->add(cliValT::create("no", "off"));
    return p;
}

// ---- rux log -----------------------------------------------------------------

void logShow(const cliArgsT& args, const outT& out) {
    std::list<loggerT> ids;
    loggerT::getAll(ids);
    ids.sort([](const loggerT& a, const loggerT& b) { return a.name() < b.name(); });
    std::size_t w = 0;
    for (const auto& l : ids)
        w = std::max(w, l.name().size());
    w += 3;
    std::string which;
    const bool one = args.get("logid", which);
    std::string text = "\n" + pad("ID", w) + "LEVEL       PTIME   PFUNC   DEVICE\n" +
                       std::string(w + 35, '_') + "\n\n";
    for (const auto& l : ids) {
        if (one && l.name() != which)
            continue;
        auto dev = l.getLogDev();
        text += pad(l.name(), w) + pad(lower(loggerT::lev2str(l.level())), 12) +
                pad(l.printTime() ? "true" : "false", 8) +
                pad(l.printFunc() ? "true" : "false", 8) + (dev ? dev->name() : "") + "\n";
    }
    say(out, text);
}

void logModify(const cliArgsT& args, const outT&) {
    std::string id, v;
    if (!args.get("logid", id))
        return;
    std::list<loggerT> ids;
    loggerT::getAll(ids);
    for (auto& l : ids) {
        if (l.name() != id)
            continue;
        int level;
        if (args.get("level", v) && loggerT::str2lev(upper(v), level))
            l.level(level);
        if (args.get("pfunc", v))
            l.printFunc(v == "yes");
        if (args.get("ptime", v))
            l.printTime(v == "yes");
    }
}

void logPrint(const cliArgsT& args, const outT&) {
    std::string id, v, text;
    if (!args.get("logid", id))
        return;
    args.get("text", text);
    int level = 0;
    if (args.get("level", v) && !loggerT::str2lev(upper(v), level))
        level = 0;
    loggerT l(id);
    loggerT::logbufT(l, level, "user") << text << "\n";
}

void devShow(const logDevParamT::sourceT& source, const cliArgsT& args, const outT& out) {
    std::list<std::shared_ptr<logDevT>> devs;
    if (source)
        source(devs);
    std::size_t w = 0;
    for (const auto& d : devs)
        w = std::max(w, d->name().size());
    w += 3;
    std::string which;
    const bool one = args.get("logdev", which);
    std::string text = "\n" + pad("DEVICE", w) + "LEVEL\n" + std::string(w + 6, '_') + "\n\n";
    for (const auto& d : devs) {
        if (one && d->name() != which)
            continue;
        text += pad(d->name(), w) + lower(loggerT::lev2str(d->level())) + "\n";
    }
    say(out, text);
}

void devModify(const logDevParamT::sourceT& source, const cliArgsT& args, const outT&) {
    std::string name, v;
    int level;
    if (!args.get("logdev", name) || !args.get("level", v) || !loggerT::str2lev(upper(v), level))
        return;
    std::list<std::shared_ptr<logDevT>> devs;
    if (source)
        source(devs);
    for (const auto& d : devs)
        if (d->name() == name)
            d->level(level);
}

// ---- rux thread ----------------------------------------------------------------

std::string threadLine(threadT::proxyT t) {
    const auto prio = t->priority();
    std::string p =
        std::string(threadT::prioClassText(prio.cls())) + " (" + std::to_string(prio.level()) + ")";
    return pad(std::to_string(t->tid()), 12) + pad(std::to_string(t->count()), 10) + pad(p, 14) +
           pad(threadT::statusText(t->status()), 12) + t->name() + "\n";
}

void threadShow(const cliArgsT& args, const outT& out) {
    std::string text = "\nTID         HANDLES   PRIO          STATUS      NAME\n"
                       "_____________________________________________________\n\n";
    std::string v;
    uint32_t tid = 0;
    const bool one = args.get("tid", v);
    {
        threadT::iteratorT it;
        it.reset();
        if (one) {
            if (parseId(v, tid) && it.find(tid))
                text += threadLine(*it);
        } else {
            for (; !it.end(); ++it)
                text += threadLine(*it);
        }
    }
    say(out, text);
}

const char* const policyNames[] = {"batch", "low", "normal", "high", "rt"};

void threadModify(const cliArgsT& args, const outT& out) {
    std::string v;
    uint32_t tid = 0;
    if (!args.get("tid", v))
        return;
    threadT::iteratorT it;
    it.reset();
    if (!parseId(v, tid) || !it.find(tid)) {
        it.close();
        say(out, "error: specified thread doesn't exist anymore\n");
        return;
    }
    auto prio = it->priority();
    auto cls = prio.cls();
    unsigned level = prio.level();
    if (args.get("policy", v))
        for (int i = 0; i < 5; ++i)
            if (v == policyNames[i])
                cls = threadT::prioClassT(i);
    if (args.get("prio", v))
        level = unsigned(
            std::min<unsigned long>(std::strtoul(v.c_str(), nullptr, 10), threadT::prioT::maxVal));
    const bool ok = it->priority(cls, level);
    it.close();
    if (!ok)
        say(out, "error: failed to change thread priority\n");
}

// ---- rux sessions --------------------------------------------------------------

void sessionsShow(const telnetParamT::sourceT& source, const cliArgsT& args, const outT& out) {
    auto srv = source ? source() : nullptr;
    if (!srv || !srv->running()) {
        say(out, "error: telnet server is not running\n");
        return;
    }
    std::string text = "\ntelnet server is running at " + srv->address().to_string() + "\n";
    std::string v;
    const bool one = args.get("sid", v);
    uint32_t sid = 0;
    auto all = srv->sessions();
    if (one) {
        auto it = std::find_if(all.begin(), all.end(), [&](const gasTelnetSrvT::sessionInfoT& s) {
            return parseId(v, sid) && s.sid == sid;
        });
        if (it == all.end()) {
            say(out, text + "error: specified session (" + v + ") does not exist\n");
            return;
        }
        all = {*it};
    }
    if (all.empty()) {
        say(out, text + "there are no active sessions\n");
        return;
    }
    auto me = srv->current();
    text += "\nSID             PEER\n_____________________\n\n";
    for (const auto& s : all)
        text += pad(std::to_string(s.sid), 16) + s.peer + (me && me->sid() == s.sid ? " (*)" : "") +
                "\n";
    say(out, text);
}

void sessionsKill(const telnetParamT::sourceT& source, const cliArgsT& args, const outT& out) {
    auto srv = source ? source() : nullptr;
    if (!srv || !srv->running()) {
        say(out, "error: telnet server is not running\n");
        return;
    }
    std::string v;
    args.get("sid", v);
    uint32_t sid = 0;
    auto s = parseId(v, sid) ? srv->session(sid) : nullptr;
    if (!s) {
        say(out, "error: specified session (" + v + ") does not exist\n");
        return;
    }
    // The reply goes out first; the issuing session ends once it returns. The
    // console puts the line end before its next prompt.
    say(out, "killing telnet session #" + v);
    s->shutdown();
}

void sessionsClose(const telnetParamT::sourceT& source, const cliArgsT&, const outT& out) {
    auto srv = source ? source() : nullptr;
    auto me = srv ? srv->current() : nullptr;
    if (!me) {
        say(out, "error: you are not in a telnet session!\n");
        return;
    }
    say(out, "bye bye!\n");
    me->shutdown();
}

} // namespace

std::shared_ptr<cliMenuT> makeSysMenu(const sysMenuCfgT& cfg) {
    auto rux = cliMenuT::create("rux", "rux system menu");

    // rux log
    auto log = cliMenuT::create("log", "logger settings");
    auto show = command("show", "show registered log IDs and settings",
                        [](const cliArgsT& a, outT o) { logShow(a, o); });
    show->add(logIdParamT::create("logid", "log identifier to show settings for"));
    log->add(show);
    auto modify = command("modify", "configure specified logger",
                          [](const cliArgsT& a, outT o) { logModify(a, o); });
    modify->add(required(logIdParamT::create("logid", "log identifier")));
    modify->add(levelParam());
    modify->add(yesNoParam("pfunc", "print function name in log?"));
    modify->add(yesNoParam("ptime", "print date and time in log?"));
    log->add(modify);

    auto dev = cliMenuT::create("dev", "logger device functions");
    auto devices = cfg.devices;
    auto dshow = command("show", "show log devices and setings",
                         [devices](const cliArgsT& a, outT o) { devShow(devices, a, o); });
    dshow->add(logDevParamT::create("logdev", "log device name", devices));
    dev->add(dshow);
    auto dmodify = command("modify", "configure log device",
                           [devices](const cliArgsT& a, outT o) { devModify(devices, a, o); });
    dmodify->add(required(logDevParamT::create("logdev", "log device name", devices)));
    dmodify->add(required(levelParam()));
    dev->add(dmodify);
    log->add(dev);

    auto print =
        command("print", "log a message", [](const cliArgsT& a, outT o) { logPrint(a, o); });
    print->add(required(logIdParamT::create("logid", "log identifier")));
    print->add(levelParam());
    auto text = cliParamT::create("text", "message to print");
    text->add(cliValSTR::create(0, 4294967295u));
    print->add(required(text));
    log->add(print);
    rux->add(log);

    // rux thread
    auto thread = cliMenuT::create("thread", "thread settings");
    auto tshow = command("show", "show running threads",
                         [](const cliArgsT& a, outT o) { threadShow(a, o); });
    tshow->add(threadParamT::create("tid", "thread identifier"));
    thread->add(tshow);
    auto tmodify = command("modify", "change thread parameters",
                           [](const cliArgsT& a, outT o) { threadModify(a, o); });
    tmodify->add(required(threadParamT::create("tid", "thread identifier")));
    auto policy = cliParamT::create("policy", "scheduling policy");
    policy->add(cliValT::create("batch", "run only when system is idle"));
    policy->add(cliValT::create("low", "euristic low prio scheduling"));
    policy->add(cliValT::create("normal", "default euristic scheduling"));
    policy->add(cliValT::create("high", "euristic high prio scheduling"));
    policy->add(cliValT::create("rt", "realtime shceduling"));
    tmodify->add(policy);
    auto prio = cliParamT::create("prio", "scheduling priority");
    prio->add(cliValINT::range(0, threadT::prioT::maxVal));
    tmodify->add(prio);
    thread->add(tmodify);
    rux->add(thread);

    // rux sessions
    auto server = cfg.server;
    auto sessions = cliMenuT::create("sessions", "telnet console sessions");
    auto sshow = command("show", "show active telnet sessions",
                         [server](const cliArgsT& a, outT o) { sessionsShow(server, a, o); });
    sshow->add(telnetParamT::create("sid", "telnet session identifier to show", server));
    sessions->add(sshow);
    auto kill = command("kill", "kill specified session",
                        [server](const cliArgsT& a, outT o) { sessionsKill(server, a, o); });
    kill->add(required(telnetParamT::create("sid", "telnet session to kill", server)));
    sessions->add(kill);
    sessions->add(command("close", "close this session",
                          [server](const cliArgsT& a, outT o) { sessionsClose(server, a, o); }));
    rux->add(sessions);

    // rux quit
    auto quit = cfg.quit;
    rux->add(command("quit", "terminate " + cfg.appName, [quit](const cliArgsT&, outT) {
        if (quit)
            quit();
    }));
    return rux;
}

} // namespace rux::impl
