// Command-line options: the standard options, parsing with getopt_long, and
// the help text.
#include <getopt.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iostream>
#include <vector>

#include "gas/app.h"
#include "logger/logger.h"
#include "std_options.h"

namespace rux {

namespace impl {

bool parseWholeText(const std::string& text, std::string& out) {
    // Stream input takes one word: a blank would cut the value short.
    if (text.empty() || text.find_first_of(" \t\n\v\f\r") != std::string::npos)
        return false;
    out = text;
    return true;
}

bool startsNegative(const std::string& text) {
    size_t i = text.find_first_not_of(" \t\n\v\f\r");
    return i != std::string::npos && text[i] == '-';
}

namespace {

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

std::string upper(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::toupper(c); });
    return s;
}

std::vector<std::string> splitCommas(const std::string& text) {
    std::vector<std::string> items;
    size_t start = 0;
    for (;;) {
        size_t comma = text.find(',', start);
        items.push_back(text.substr(start, comma - start));
        if (comma == std::string::npos)
            return items;
        start = comma + 1;
    }
}

} // namespace

bool gasParserT::action(gasT& app, const std::string& text) {
    if (text.compare(0, 7, "install") == 0) {
        app._action = 1;
        // "install=<command line>": the separator itself is not kept.
        app._svcCmdLine = text.size() > 8 ? text.substr(8) : std::string();
    } else if (text == "uninstall") {
        app._action = 2;
    } else if (text == "run") {
        app._action = 0;
    } else if (text == "check") {
        app._action = 3;
    } else {
        return false;
    }
    return true;
}

bool gasParserT::logLevel(gasT& app, const std::string& text) {
    return loggerT::str2lev(upper(text), app._cfg.logLevel);
}

bool gasParserT::logDev(gasT& app, const std::string& text) {
    gasCfgT& c = app._cfg;
    c.logConsole = c.logFile = c.logSyslog = c.logDeferred = false;
    for (const std::string& raw : splitCommas(text)) {
        std::string item = lower(raw);
        int level = log::DUMP;
        size_t colon = item.find(':');
        if (colon != std::string::npos && colon >= 1) {
            if (!loggerT::str2lev(upper(item.substr(colon + 1)), level))
                return false;
            item.resize(colon);
        }
        if (item == "console") {
            c.logConsole = true;
            c.logConsoleLevel = level;
        } else if (item == "file") {
            c.logFile = true;
            c.logFileLevel = level;
        } else if (item == "syslog") {
            c.logSyslog = true;
            c.logSyslogLevel = level;
        } else if (item == "deferred") {
            c.logDeferred = true;
        } else if (item == "null") {
            c.useLogger = false;
        } else {
            return false;
        }
    }
    return true;
}

bool gasParserT::console(gasT& app, const std::string& text) {
    gasCfgT& c = app._cfg;
    c.consStdio = false;
    for (const std::string& raw : splitCommas(text)) {
        std::string item = lower(raw);
        if (item == "stdio")
            c.consStdio = true;
        else if (item == "telnet")
            c.consTelnet = true;
        else if (item == "null")
            c.useConsole = false;
        else
            return false;
    }
    return true;
}

bool gasParserT::parse(gasT& app, std::list<gasT::optionT>& opts, int argc, char* argv[]) {
    app._addStdOptions(opts, true);
    return app._parse(opts, argc, argv);
}

gasCfgT& gasParserT::cfg(gasT& app) {
    return app._cfg;
}

} // namespace impl

gasT::optionT::optionT(std::string lname, char sname, argT arg, std::string help,
                       std::unique_ptr<assignerT> assigner)
    : _lname(std::move(lname)), _sname(sname), _arg(arg), _help(std::move(help)),
      _assigner(std::move(assigner)) {}

void gasT::_addStdOptions(std::list<optionT>& opts, bool withVersion) {
    using P = impl::gasParserT;
    if (_cfg.appKind >= 1 && _cfg.appKind <= 3) {
        opts.emplace_back("action", 'A', optionT::enREQUIRED,
                          "select whether to run (default), install[=cmdline], uninstall or "
                          "\n\tcheck the win32 service",
                          optionT::func([this](const std::string& t) { return P::action(*this, t); }));
        opts.emplace_back("foreground", 'F', optionT::enNONE,
                          "start the service in foreground as a normal application",
                          optionT::setVar(_foreground, true));
    }
    if (_cfg.useLogger) {
        opts.emplace_back(
            "loglevel", 'L', optionT::enREQUIRED,
            "specify initial log level among \"nodump\", \"emergency\", \"alert\",\n\t"
            "\"critical\", \"error\", \"warning\", \"notice\", \"info\", \"debug\" and \"dump\"",
            optionT::func([this](const std::string& t) { return P::logLevel(*this, t); }));
        opts.emplace_back(
            "logdev", 'D', optionT::enREQUIRED,
            "specify a comma ',' separated list of standard log device among\n\t\"console\", "
            "\"file\", \"syslog\", \"deferred\", \"null\";\n\tfor each device an optional filter "
            "level (as for -L option) can be set\n\tafter a colon, such as \"-D "
            "console,file:info,syslog:warning\"",
            optionT::func([this](const std::string& t) { return P::logDev(*this, t); }));
        opts.emplace_back("logdir", 'G', optionT::enREQUIRED, "set log files directory",
                          optionT::parseVar(_cfg.logDir));
    }
    if (_cfg.useConsole) {
        opts.emplace_back("console", 'C', optionT::enREQUIRED,
                          "specify a comma ',' separated list of console devices such as\n\t"
                          "\"stdio\", \"telnet\", \"null\"",
                          optionT::func([this](const std::string& t) { return P::console(*this, t); }));
        opts.emplace_back("console-bind", 'B', optionT::enREQUIRED,
                          "ip:port to bind console telnet to", optionT::parseVar(_cfg.consBind));
    }
    opts.emplace_back("help", 'h', optionT::enNONE, "show this help",
                      optionT::setVar(_helpAsked, true));
    if (withVersion)
        opts.emplace_back("version", 'v', optionT::enNONE, "show application version",
                          optionT::setVar(_versionAsked, true));
}

bool gasT::_parse(std::list<optionT>& opts, int argc, char* argv[]) {
    // Options without a letter answer getopt_long with a value above any char.
    constexpr int kNoLetter = 256;
    std::vector<const optionT*> byIndex;
    std::vector<struct option> longs;
    std::string shorts;
    for (const optionT& o : opts) {
        if (o.arg() == optionT::enPOSITIONAL)
            continue;
        int hasArg = o.arg() == optionT::enREQUIRED   ? required_argument
                     : o.arg() == optionT::enOPTIONAL ? optional_argument
                                                      : no_argument;
        int val = o.sname() ? (unsigned char)o.sname() : kNoLetter + int(byIndex.size());
        longs.push_back({o.lname().c_str(), hasArg, nullptr, val});
        byIndex.push_back(&o);
        if (o.sname()) {
            shorts += o.sname();
            if (hasArg == required_argument)
                shorts += ":";
            else if (hasArg == optional_argument)
                shorts += "::";
        }
    }
    longs.push_back({nullptr, 0, nullptr, 0});

    optind = 0; // a full restart of getopt's scan
    opterr = 1;
    for (;;) {
        int c = getopt_long(argc, argv, shorts.c_str(), longs.data(), nullptr);
        if (c == -1)
            break;
        if (c == '?' || c == ':')
            return false; // getopt_long has said why
        const optionT* found = nullptr;
        if (c >= kNoLetter && size_t(c - kNoLetter) < byIndex.size()) {
            found = byIndex[size_t(c - kNoLetter)];
        } else {
            for (const optionT* o : byIndex)
                if (o->sname() && (unsigned char)o->sname() == c)
                    found = o;
        }
        if (!found) {
            std::cerr << "error: getopt() returned a fatal error!" << std::endl;
            return false;
        }
        if (!found->assign(optarg ? optarg : "")) {
            // An option without a letter shows none (not a NUL byte).
            std::cerr << "error: failed to parse option argument \"" << found->lname() << "\" (-"
                      << std::string(found->sname() ? 1 : 0, found->sname()) << ")" << std::endl;
            return false;
        }
    }

    auto next = opts.begin();
    for (int i = optind; i < argc; ++i) {
        while (next != opts.end() && next->arg() != optionT::enPOSITIONAL)
            ++next;
        if (next == opts.end()) {
            std::cerr << "error: non-option argument " << argv[i] << std::endl;
            return false;
        }
        if (!next->assign(argv[i])) {
            std::cerr << "error: failed to parse non-option argument \"" << next->lname() << "\""
                      << std::endl;
            return false;
        }
        ++next;
    }
    return true;
}

void gasT::_printHelp(const std::list<optionT>& opts) {
    std::string out = "\nsyntax: " + _exeName + " [--options]";
    for (const optionT& o : opts)
        if (o.arg() == optionT::enPOSITIONAL)
            out += " [" + o.lname() + "]";
    out += "\n\n";
    for (const optionT& o : opts) {
        if (o.arg() == optionT::enPOSITIONAL)
            continue;
        if (o.sname()) {
            out += '-';
            out += o.sname();
            out += ", ";
        }
        out += "--" + o.lname();
        if (o.arg() == optionT::enREQUIRED || o.arg() == optionT::enOPTIONAL)
            out += "=val";
        out += "\n\t" + o.help() + "\n\n";
    }
    std::string extra;
    if (_help(extra))
        out += "\n" + extra + "\n";
    out += "\n";
    std::cout << out << std::flush;
}

} // namespace rux
