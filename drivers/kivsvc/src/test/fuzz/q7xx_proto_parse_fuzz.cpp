// Feeds arbitrary reports to every reply parser of both meter protocol
// versions and converts what parses into the client schema and back; the same
// bytes read as a client configuration are applied to every settings message.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "messages.pb.h"
#include "q7xx/v1/config.h"
#include "q7xx/v2/config.h"
#include "q7xx/v2/cookie.h"
#include "q7xx/v2/extdcfg.h"
#include "q7xx/v2/hwsettings.h"
#include "q7xx/v2/measure.h"
#include "rux_logger_xface.h"

namespace {

class sinkDevT : public rux::logDevT {
public:
    sinkDevT() : rux::logDevT("sink") {}
    void _doLog(const std::string&, int) override {}
};

void quietDriverLog() {
    static rux::loggerT* log = [] {
        auto* l = new rux::loggerT("driver"); // kept for the process lifetime
        l->setLogDev(std::make_shared<sinkDevT>());
        return l;
    }();
    (void)log;
}

using bytesT = std::vector<unsigned char>;

// Parses `data` as the reply `msg`: as it came, and with the ids and the
// checksum over `consumed` payload bytes made right so that the payload
// decoder and the conversions see arbitrary contents.
bool feed(q7xxUSBMsgT& msg, const bytesT& data, int consumed) {
    const unsigned char* p = data.empty() ? nullptr : data.data();
    msg.parse(p, static_cast<int>(data.size()));
    if (data.size() < 3)
        return false;
    bytesT r(data);
    r[0] = msg.rid();
    r[1] = msg.mid();
    if (static_cast<std::size_t>(consumed) + 3 <= r.size()) {
        unsigned s = 0;
        for (int i = 0; i < consumed + 2; ++i)
            s += r[i];
        r.back() = static_cast<unsigned char>(s);
    }
    // An exact-size copy so that any read past the report is caught.
    const bytesT exact(r);
    return msg.parse(exact.data(), static_cast<int>(exact.size()));
}

void format(q7xxUSBMsgT& m) {
    unsigned char buf[q7xxUSBMsgT::maxFrame] = {};
    m.formatReport(buf, 65);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    quietDriverLog();
    const bytesT in(data, data + size);
    const int hw = size >= 6 ? 4 : 2;

    kivsvc::q7xxConfigT client;
    const bool hasClient = client.ParseFromArray(data, static_cast<int>(size));

    for (bool flag : {false, true}) {
        v2::q720USBMsg_CONFIGREPLY c720(flag);
        if (feed(c720, in, 60)) {
            kivsvc::q7xxConfigT c;
            c720.toCbusMsg(c);
            v2::q720USBMsg_SETCFG set(c720, flag);
            if (set.fromCbusMsg(c))
                format(set);
        }
        v2::q710USBMsg_CONFIGREPLY c710(flag);
        if (feed(c710, in, 60)) {
            kivsvc::q7xxConfigT c;
            c710.toCbusMsg(c);
            v2::q710USBMsg_SETCFG set(c710, flag);
            if (set.fromCbusMsg(c))
                format(set);
            if (hasClient && v2::q7xxUSBMsg_CONFIG::checkCbusMsg(client)) {
                v2::q710USBMsg_SETCFG s2(c710, flag);
                if (s2.fromCbusMsg(client))
                    format(s2);
            }
        }
        v1::q720USBMsg_CONFIGREPLY c1(flag);
        if (feed(c1, in, 50)) {
            kivsvc::q7xxConfigT c;
            c1.toCbusMsg(c);
            v1::q720USBMsg_SETCFG set(c1, flag);
            if (set.fromCbusMsg(c))
                format(set);
            if (hasClient && v1::q720USBMsg_CONFIG::checkCbusMsg(client)) {
                v1::q720USBMsg_SETCFG s2(c1, flag);
                if (s2.fromCbusMsg(client))
                    format(s2);
            }
        }
    }
    v2::q7xxUSBMsg_COOKIEREPLY cookie;
    if (feed(cookie, in, 60)) {
        kivsvc::q7xxConfigT c;
        cookie.toCbusMsg(c);
        v2::q7xxUSBMsg_SETCOOKIE set(cookie);
        set.fromCbusMsg(hasClient ? client : c);
        format(set);
    }
    v2::q7xxUSBMsg_EXTDCFGREPLY extd;
    if (feed(extd, in, 60)) {
        kivsvc::q7xxConfigT c;
        extd.toCbusMsg(c);
        v2::q7xxUSBMsg_SETEXTDCFG set(extd);
        if (set.fromCbusMsg(hasClient ? client : c))
            format(set);
    }
    v2::q7xxUSBMsg_GETMEASUREREPLY measure;
    if (feed(measure, in, 60)) {
        kivsvc::q7xxMeasureT m;
        measure.toCbusMsg(m);
    }
    v2::q7xxUSBMsg_HWSETTINGSREPLY hw2;
    if (feed(hw2, in, hw)) {
        kivsvc::q7xxConfigT c;
        hw2.toCbusMsg(c);
    }
    v1::q720USBMsg_HWSETTINGSREPLY hw1;
    if (feed(hw1, in, hw)) {
        kivsvc::q7xxConfigT c;
        hw1.toCbusMsg(c);
    }
    return 0;
}
