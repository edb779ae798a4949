#include "ipc/startupcfg.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <iostream>
#include <ostream>

namespace rux {
namespace impl {
const char* const g_ipc_cfg_file = "/etc/rux_ipc.cfg";
const char* const g_ipc_cfg_env = "rux_ipc_config";
} // namespace impl
} // namespace rux

namespace {

const char* const kServices = "SERVICES";
const char* const kDefaults = "DEFAULTS";

// Level labels accepted by LOG_LEV, indexed by level.
const char* const kLevels[] = {"NODUMP",  "EMERGENCY", "ALERT", "CRITICAL", "ERROR",
                               "WARNING", "NOTICE",    "INFO",  "DEBUG",    "DUMP"};
constexpr int kMaxConfigLevel = 8; // DUMP is not a configurable filter

bool allDigits(const std::string& s) {
    if (s.empty())
        return false;
    for (char c : s)
        if (c < '0' || c > '9')
            return false;
    return true;
}

bool toInt(const std::string& s, int& out) {
    std::size_t i = (!s.empty() && (s[0] == '-' || s[0] == '+')) ? 1 : 0;
    if (!allDigits(s.substr(i)))
        return false;
    errno = 0;
    long v = std::strtol(s.c_str(), nullptr, 10);
    if (errno == ERANGE || v < INT_MIN || v > INT_MAX)
        return false;
    out = int(v);
    return true;
}

bool toUnsigned(const std::string& s, unsigned& out) {
    if (!allDigits(s))
        return false;
    errno = 0;
    unsigned long long v = std::strtoull(s.c_str(), nullptr, 10);
    if (errno == ERANGE || v > UINT_MAX)
        return false;
    out = unsigned(v);
    return true;
}

// A duration item: a non-negative integer (a negative wait means nothing sound).
bool toDuration(const std::string& s, int& out) {
    return toInt(s, out) && out >= 0;
}

// Thrown inside section parsing for a bad value; carries the diagnostic's tail.
struct badValueT {
    std::string key;
    std::string what;
};

} // namespace

const char* startupCfgT::levelLabel(int level) {
    if (level < 0 || level > 9)
        return "";
    return kLevels[level];
}

rux::timeT startupCfgT::timeT_convert(int n, std::string unit) {
    rux::timeT t;
    if (unit == "ns")
        t = rux::timeT(n / 1000000000, n % 1000000000);
    else if (unit == "us")
        t = rux::timeT(n / 1000000, (n % 1000000) * 1000);
    else if (unit == "sec")
        t = rux::timeT(n, 0);
    else
        t = rux::timeT(n / 1000, (n % 1000) * 1000000);
    // Negative n leaves a negative nsec part; keep the canonical form.
    return t.normalise();
}

std::ostream& startupCfgT::_err() const {
    return _diag ? *_diag : std::cerr;
}

bool startupCfgT::build(const std::string& path) {
    _services.clear();
    _path.clear();
    configFileT file;
    file.diagStream(_err());
    if (!file.load(path))
        return false;
    return _build(file, path);
}

bool startupCfgT::build(std::istream& in, const std::string& path) {
    _services.clear();
    _path.clear();
    configFileT file;
    file.diagStream(_err());
    if (!file.load(in, path))
        return false;
    return _build(file, path);
}

bool startupCfgT::_build(configFileT& file, const std::string& path) {
    for (const char* name : {kServices, kDefaults}) {
        if (!file.hasSection(name)) {
            _err() << "error: missing " << name << " section!\n" << std::flush;
            return false;
        }
    }
    // Work on copies so that a failed build leaves the previous state in place.
    serviceInfoT defaults = _defaults;
    if (!_parseSection(file, kDefaults, defaults))
        return false;
    std::vector<serviceInfoT> services;
    for (const auto& entry : file.section(kServices)) {
        const std::string& service = entry.second.front();
        if (!file.hasSection(service)) {
            _err() << "error: missing " << service << " section!\n" << std::flush;
            return false;
        }
        services.push_back(defaults);
        if (!_parseSection(file, service, services.back()))
            return false;
    }
    _defaults = std::move(defaults);
    _services = std::move(services);
    _path = path;
    return true;
}

bool startupCfgT::_parseSection(const configFileT& file, const std::string& name,
                                serviceInfoT& rec) {
    try {
        const configFileT::sectionT& sec = file.section(name);
        rec.name = name;
        auto find = [&sec](const std::string& key) -> const configFileT::valueT* {
            auto it = sec.find(key);
            return it == sec.end() ? nullptr : &it->second;
        };
        if (const auto* v = find("PRIO_OS")) {
            const std::string& cls = (*v)[0];
            if (cls == "REALTIME")
                rec.osPrioClass = enREALTIME;
            else if (cls == "NORMAL")
                rec.osPrioClass = enNORMAL;
            else
                throw badValueT{"PRIO_OS", "invalid sched"};
            if (v->size() > 1) {
                unsigned level;
                if (!toUnsigned((*v)[1], level) || level >= 80)
                    throw badValueT{"PRIO_OS", "invalid value"};
                rec.osPrio = level;
            }
        }
        for (unsigned p = 0; p < rux::impl::ipcPrioT::count; ++p) {
            std::string key = "M_PRIO_HOLD_" + std::to_string(p);
            const auto* v = find(key);
            if (!v)
                continue;
            int n;
            if (!toDuration((*v)[0], n))
                throw badValueT{key, "invalid number"};
            rec.holdTimes[rux::impl::ipcPrioT(p)] =
                timeT_convert(n, v->size() > 1 ? (*v)[1] : std::string("ms"));
        }
        if (const auto* v = find("QUEUE_DIM")) {
            unsigned dim;
            // A bound of 0 would make every send wait for queue space forever.
            if (v->size() != 1 || !toUnsigned((*v)[0], dim) || dim == 0)
                throw badValueT{"QUEUE_DIM", "invalid number"};
            rec.queueDim = dim;
        }
        if (const auto* v = find("CONGESTION")) {
            const std::string& policy = (*v)[0];
            if (policy == "KILL") {
                rec.congestion = enKILL;
                if (v->size() > 1) {
                    int n;
                    if (!toDuration((*v)[1], n))
                        throw badValueT{"CONGESTION", "invalid number"};
                    rec.killTimeout = timeT_convert(n, v->size() > 2 ? (*v)[2] : "ms");
                }
            } else if (policy == "DROP") {
                rec.congestion = enDROP;
            } else if (policy == "WAIT") {
                rec.congestion = enWAIT;
            } else {
                throw badValueT{"CONGESTION", "invalid policy"};
            }
        }
        if (const auto* v = find("LOG_LEV")) {
            std::string label = v->str();
            int level = -1;
            for (int l = 0; l <= kMaxConfigLevel; ++l)
                if (label == kLevels[l])
                    level = l;
            if (level < 0) {
                _err() << "error parsing section " << name << ", key LOG_LEV: unknown label '"
                       << label << "'\n"
                       << std::flush;
                return false;
            }
            rec.logLevel = level;
        }
        return true;
    } catch (const badValueT& bad) {
        _err() << "error parsing section " << name << ", key " << bad.key << ": " << bad.what
               << "\n"
               << std::flush;
    } catch (const cfgp::exceptionT& e) {
        if (e.code == cfgp::exceptionT::enNO_KEYWORD)
            _err() << "error parsing section " << name << ": missing mandatory key\n";
        else
            _err() << "error parsing section " << name << ": caught exception '" << e.text << "'\n";
        _err() << std::flush;
    }
    return false;
}

const startupCfgT::serviceInfoT& startupCfgT::getService(const std::string& service) const {
    for (const auto& s : _services)
        if (s.name == service)
            return s;
    return _defaults;
}

std::ostream& operator<<(std::ostream& os, const startupCfgT::serviceInfoT& info) {
    os << "[" << info.name << "]\n";
    os << "os priority type    : " << info.osPrioClass << "\n";
    os << "os priority         : " << info.osPrio << "\n";
    for (const auto& hold : info.holdTimes) {
        const rux::timeT& t = hold.second;
        long long us = (long long)t.sec * 1000000 + t.nsec / 1000;
        long long frac = us % 1000;
        // Three digits after the point: 1005 us is 1.005 ms, never 1.5 ms.
        os << "msg prio " << unsigned(hold.first) << " hold     : " << us / 1000 << "."
           << char('0' + frac / 100) << char('0' + frac / 10 % 10) << char('0' + frac % 10)
           << " ms\n";
    }
    os << "queue dimension     : " << info.queueDim << "\n";
    os << "congestion policy   : " << info.congestion << "\n";
    os << "kill policy timeout : " << info.killTimeout.ms() << " ms\n";
    os << "log level           : " << startupCfgT::levelLabel(info.logLevel) << "\n";
    return os;
}

namespace rux {
namespace impl {

std::string buildIpcConfig(startupCfgT& cfg, const std::string& first, const std::string& system) {
    if (!first.empty() && cfg.build(first))
        return first;
    if (!system.empty() && cfg.build(system))
        return system;
    const char* env = std::getenv(g_ipc_cfg_env);
    if (env && *env && cfg.build(env))
        return env;
    return std::string();
}

} // namespace impl
} // namespace rux
