// Feeds arbitrary reports to every bootloader reply parser, to the reply
// matching of an exchange and to identification.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "nxxx/exchange.h"
#include "nxxx/msgs.h"
#include "nxxx/usbdriver.h"
#include "rux_logger_xface.h"

namespace {

class sinkDevT : public rux::logDevT {
public:
    sinkDevT() : rux::logDevT("sink") {}
    void _doLog(const std::string&, int) override {}
};

rux::loggerT* quietDriverLog() {
    static rux::loggerT* log = [] {
        auto* l = new rux::loggerT("driver"); // kept for the process lifetime
        l->setLogDev(std::make_shared<sinkDevT>());
        return l;
    }();
    return log;
}

template <class REQ, class REP> void exchange(const unsigned char* buf, std::size_t len) {
    auto req = std::make_shared<REQ>();
    auto rep = std::make_shared<REP>();
    nxxxExchangeT ex(req, rep);
    if (ex.match(buf, len) != usbdrv::exchangeT::enNO)
        ex.parse(buf, len);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    rux::loggerT& log = *quietDriverLog();
    // An exact-size copy so any read past the report is caught.
    const std::vector<unsigned char> report(data, data + size);
    const unsigned char* buf = report.empty() ? nullptr : report.data();
    const int len = static_cast<int>(size);

    nxxxUSBMsg_DEVIDREPLY id;
    if (id.parse(buf, len))
        nxxxUsbDriverT::identify(id, log);
    nxxxUSBMsg_BOOTGETAPPDATAREPLY app;
    nxxxUSBMsg_BOOTGETCRCREPLY crc;
    nxxxUSBMsg_BOOTWRITEFWREPLY w;
    nxxxUSBMsg_BOOTERASEFWREPLY e;
    nxxxUSBMsg_BOOTSETAPPDATAREPLY s;
    app.parse(buf, len);
    crc.parse(buf, len);
    w.parse(buf, len);
    e.parse(buf, len);
    s.parse(buf, len);

    if (buf != nullptr) {
        exchange<nxxxUSBMsg_BOOTWRITEFW, nxxxUSBMsg_BOOTWRITEFWREPLY>(buf, size);
        exchange<nxxxUSBMsg_BOOTGETAPPDATA, nxxxUSBMsg_BOOTGETAPPDATAREPLY>(buf, size);
        exchange<nxxxUSBMsg_BOOTGETCRC, nxxxUSBMsg_BOOTGETCRCREPLY>(buf, size);
    }
    return 0;
}
