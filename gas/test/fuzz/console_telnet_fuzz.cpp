// Bytes from a telnet peer through the console terminal (telnet layer, VT100
// keys) into a session on the system menu.
#include <cstddef>
#include <cstdint>
#include <iostream>
#include <list>
#include <memory>
#include <streambuf>
#include <string>

#include "cli/session.h"
#include "console/sys_menu.h"
#include "gas/console/cli_telnet.h"
#include "logger/logger.h"

namespace {

class nullDevT : public rux::logDevT {
public:
    nullDevT() : logDevT("null") {}
    void _doLog(const std::string&, int) override {}
};

// The peer's bytes in, the console's output dropped: one stream, two ways.
class peerBufT : public std::streambuf {
public:
    peerBufT(const uint8_t* data, size_t size) {
        char* p = reinterpret_cast<char*>(const_cast<uint8_t*>(data));
        setg(p, p, p + size);
    }

protected:
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

std::shared_ptr<rux::cliMenuT> makeRoot() {
    rux::loggerT::setDefLogDev(std::make_shared<nullDevT>());
    rux::impl::sysMenuCfgT cfg;
    cfg.appName = "fuzz";
    cfg.quit = [] {};
    cfg.server = [] { return std::shared_ptr<rux::gasTelnetSrvT>(); };
    cfg.devices = [](std::list<std::shared_ptr<rux::logDevT>>& l) { l.clear(); };
    auto rux = rux::impl::makeSysMenu(cfg);
    // Thread priorities are the fuzzer's own: leave them alone.
    for (const auto& menu : *rux->children())
        if (menu->name() == "thread")
            menu->children()->remove_if([](const auto& c) { return c->name() == "modify"; });
    auto root = rux::cliMenuT::create("fuzz", "root");
    root->add(rux, false);
    return root;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const auto root = makeRoot();
    peerBufT buf(data, size);
    std::iostream io(&buf);
    rux::cliTelnetT term(io);
    rux::cliSessionT session(root);
    if (term.tn_init() && session.setOutput(term.output()))
        term.run(session);
    return 0;
}
