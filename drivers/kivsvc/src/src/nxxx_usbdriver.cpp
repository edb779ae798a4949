#include "nxxx/usbdriver.h"

#include <cstdio>
#include <cstring>

using rux::loggerT;
namespace log = rux::log;

namespace {

// Compared with its NUL: "NBOOTX" is another device.
const char bootName[] = "NBOOT";

} // namespace

nxxxUsbDriverT::nxxxUsbDriverT(uint16_t vendor, uint16_t product)
    : hidDriverT(vendor, product, "kivsvc-nxxx-usb-drv") {}

nxxxUsbDriverT::~nxxxUsbDriverT() {
    _stop();
}

bool nxxxUsbDriverT::syncMessage(const nxxxUsbDevT& dev, std::shared_ptr<nxxxUSBMsgT> request,
                                 std::shared_ptr<nxxxUSBMsgT> reply) {
    return dev.syncMessage(std::move(request), std::move(reply));
}

std::shared_ptr<nxxxUsbDevT> nxxxUsbDriverT::identify(const nxxxUSBMsg_DEVIDREPLY& id,
                                                      loggerT& logger) {
    if (std::memcmp(id.rawName().data(), bootName, sizeof bootName) != 0) {
        loggerT::logbufT(logger, log::ERROR, "_handshake")
            << "unknown device model \"" << id.name() << "\"\n";
        return std::make_shared<nxxxUnkT>();
    }
    auto dev = std::make_shared<nbootT>();
    dev->model(nxxxModel::NBOOT);
    char text[16];
    std::snprintf(text, sizeof text, "%02x", unsigned(id.hwver()));
    dev->hwver(text);
    std::snprintf(text, sizeof text, "%08x", unsigned(id.swver()));
    dev->swver(text);
    const auto& s = id.rawSnum();
    loggerT::logbufT(logger, log::INFO, "_handshake")
        << "serial number \"" << std::string(s.data()) << "\"\n";
    dev->snum(std::string(s.data(), s.size())); // the 24 bytes and the NUL
    return dev;
}

std::shared_ptr<usbdrv::usbDevT> nxxxUsbDriverT::_handshake(std::shared_ptr<rux::seqSocketT> conn,
                                                            const rux::usbHidSockAddrT& addr) {
    nxxxUSBMsg_DEVIDREQ idreq;
    rux::dgramT in;
    if (!_handshakeStep(
            *conn, addr,
            [&](unsigned char* buf, std::size_t size) { return idreq.formatReport(buf, size); }, in,
            "failed to send ID request to device "))
        return nullptr;

    std::shared_ptr<nxxxUsbDevT> dev;
    nxxxUSBMsg_DEVIDREPLY idreply;
    if (!idreply.parse(reinterpret_cast<const unsigned char*>(in.buf()), int(in.length()))) {
        loggerT::logbufT(_logger, log::ERROR, "_handshake")
            << "failed to parse ID reply data from " << addr << "\n";
        dev = std::make_shared<nxxxUnkT>();
    } else {
        dev = identify(idreply, _logger);
    }
    const rux::timeT reply = requests()->defaultTimeout();
    const rux::timeT erase = rux::timeT::fromMs(_eraseTimeoutMs.load());
    dev->eraseTimeout(erase < reply ? reply : erase);
    dev->link(std::move(conn), addr, requests());
    return dev;
}

void nxxxUsbDriverT::_logAttached(const usbdrv::usbDevT& dev) {
    loggerT::logbufT(_logger, log::INFO, "_run")
        << "conneted " << dev.model2str() << " device:\nSNUM   = " << dev.snum()
        << "\nHW ver = " << dev.hwver() << "\nSW ver = " << dev.swver() << "\n";
}

void nxxxUsbDriverT::_reportSeen(const usbdrv::usbDevT&, const unsigned char* report,
                                 std::size_t len) {
    loggerT::logbufT line(_logger, log::INFO, "_handleReport");
    line << "Report rid:" << (len > 0 ? unsigned(report[0]) : 0u)
         << " mid:" << (len > 1 ? unsigned(report[1]) : 0u) << "\n";
}
