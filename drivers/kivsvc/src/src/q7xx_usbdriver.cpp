#include "q7xx/usbdriver.h"

#include <cstdio>
#include <cstring>

using rux::loggerT;
namespace log = rux::log;

namespace {

// Identification names, compared on 15 bytes: the 14 characters and the NUL.
struct modelRowT {
    const char* name;
    int model;
    bool q710;
};
const modelRowT models[] = {
    {"Q7.20 MAGMETER", q7xxModel::Q720, false},
    {"Q8.20 MAGMETER", q7xxModel::Q720, false},
    {"Q8.10 MAGMETER", q7xxModel::Q710, true},
    {"Q8.50 MAGMETER", q7xxModel::Q850, false},
};
constexpr std::size_t nameCompared = 15;

// The first software version byte of the second protocol version.
constexpr unsigned char firstV2Software = 4;

std::string hex2(unsigned char b) {
    char s[4];
    std::snprintf(s, sizeof s, "%02x", b);
    return s;
}

} // namespace

bool q7xxUsbDriverT::identify(const q7xxUSBMsg_IDREPLY& id, int& model, q7xxProtoT& proto) {
    for (const auto& m : models) {
        if (std::memcmp(id.rawName().data(), m.name, nameCompared) != 0)
            continue;
        model = m.model;
        if (m.q710)
            proto = q7xxProtoT::v2q710;
        else if (m.model == q7xxModel::Q720 && id.swver() < firstV2Software)
            proto = q7xxProtoT::v1q720;
        else
            proto = q7xxProtoT::v2q720;
        return true;
    }
    return false;
}

q7xxUsbDriverT::q7xxUsbDriverT(uint16_t vendor, uint16_t product)
    : hidDriverT(vendor, product, "kivsvc-q7xx-usb-drv") {}

q7xxUsbDriverT::~q7xxUsbDriverT() {
    _stop();
}

bool q7xxUsbDriverT::syncMessage(const q7xxUsbDevT& dev, std::shared_ptr<q7xxUSBMsgT> request,
                                 std::shared_ptr<q7xxUSBMsgT> reply) {
    return dev.syncMessage(std::move(request), std::move(reply));
}

std::shared_ptr<usbdrv::usbDevT> q7xxUsbDriverT::_handshake(std::shared_ptr<rux::seqSocketT> conn,
                                                            const rux::usbHidSockAddrT& addr) {
    const q7xxProtoFactoryT base;
    rux::dgramT in;
    auto idreq = base.make_idreq();
    if (!_handshakeStep(
            *conn, addr,
            [&](unsigned char* buf, std::size_t size) { return idreq->formatReport(buf, size); },
            in, "failed to send ID request to device "))
        return nullptr;

    std::shared_ptr<q7xxUsbDevT> dev;
    auto idreply = base.make_idreply();
    if (!idreply->parse(reinterpret_cast<const unsigned char*>(in.buf()), int(in.length()))) {
        loggerT::logbufT(_logger, log::ERROR, "_handshake")
            << "failed to parse ID reply data from " << addr << "\n";
        dev = std::make_shared<q7xxUnkT>();
    } else {
        int model = q7xxModel::unknown;
        q7xxProtoT proto = q7xxProtoT::v2q720;
        if (!identify(*idreply, model, proto)) {
            loggerT::logbufT(_logger, log::ERROR, "_handshake")
                << "unknown device model \"" << idreply->name() << "\"\n";
            dev = std::make_shared<q7xxUnkT>();
        } else {
            if (model == q7xxModel::Q710)
                dev = std::make_shared<q710T>();
            else
                dev = std::make_shared<q720T>();
            dev->model(model);
            dev->factory(q7xxProtoFactoryFor(proto));
            dev->hwver(hex2(idreply->hwver()));
            dev->swver(hex2(idreply->swver()));

            auto snumreq = dev->factory()->make_snumreq();
            if (!_handshakeStep(
                    *conn, addr,
                    [&](unsigned char* buf, std::size_t size) {
                        return snumreq->formatReport(buf, size);
                    },
                    in, "failed to send SNUM request to device "))
                return nullptr;
            auto snumreply = dev->factory()->make_snumreply();
            if (!snumreply->parse(reinterpret_cast<const unsigned char*>(in.buf()),
                                  int(in.length()))) {
                loggerT::logbufT(_logger, log::ERROR, "_handshake")
                    << "failed to parse snum reply data from " << addr << "\n";
                return nullptr;
            }
            dev->snum(snumreply->snum());
        }
    }
    dev->link(std::move(conn), addr, requests());
    return dev;
}

void q7xxUsbDriverT::_logAttached(const usbdrv::usbDevT& dev) {
    loggerT::logbufT(_logger, log::INFO, "_run")
        << "connected " << dev.model2str() << " device:\nSNUM   = " << dev.snum()
        << "\nHW ver = " << dev.hwver() << "\nSW ver = " << dev.swver() << "\n";
}
