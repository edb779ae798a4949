// Feeds arbitrary text to the IPv4 endpoint parser and to the local-name
// mapping, checking what they accept.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include <sys/un.h>

#include "sal/address.h"
#include "sockctx.h"

namespace {
std::string g_dir;

void setUp() {
    char tmpl[] = "/tmp/rux-fuzz-XXXXXX";
    if (!::mkdtemp(tmpl))
        std::abort();
    g_dir = tmpl;
    ::setenv("RUX_RUNTIME_DIR", tmpl, 1);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (g_dir.empty())
        setUp();
    std::string text(reinterpret_cast<const char*>(data), size);

    std::istringstream is(text);
    const rux::ipv4SockAddrT before(rux::ipv4AddressT(9, 8, 7, 6), 5);
    rux::ipv4SockAddrT a = before;
    if (is >> a) {
        std::istringstream again(a.to_string());
        rux::ipv4SockAddrT b;
        if (!(again >> b) || !(a == b))
            std::abort(); // what was accepted must print and parse back
    } else if (!(a == before)) {
        std::abort(); // a refused text leaves the address alone
    }

    try {
        rux::unixSockAddrT u(text);
        if (u.name().size() != text.size())
            std::abort();
        for (bool pipe : {false, true}) {
            std::string path;
            if (!rux::impl::localPath(u.name(), pipe, path))
                continue;
            std::string file = path.substr(g_dir.size() + 1);
            if (path.compare(0, g_dir.size() + 1, g_dir + "/") != 0 ||
                file.find('/') != std::string::npos || file.empty() || file[0] == '.' ||
                path.size() >= sizeof(sockaddr_un{}.sun_path))
                std::abort(); // every name maps to one file inside the directory
        }
    } catch (const char*) {
        if (text.size() <= rux::unixSockAddrT::maxName)
            std::abort();
    }
    return 0;
}
