// Feeds arbitrary reports to every meter reply parser (and the frame rules of
// the request classes), and formats into device-chosen report lengths.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "q7xx/basicmsgs.h"
#include "q7xx/protofactory.h"
#include "rux_logger_xface.h"

namespace {

// Swallows the checksum lines while still formatting them.
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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    quietDriverLog();
    const q7xxProtoFactoryT factory;
    // An exact-size copy so any read past the report is caught.
    const std::vector<unsigned char> report(data, data + size);
    const unsigned char* buf = report.empty() ? nullptr : report.data();
    const int len = static_cast<int>(size);

    std::unique_ptr<q7xxUSBMsgT> msgs[] = {
        factory.make_idreply(),  factory.make_snumreply(), factory.make_idreq(),
        factory.make_snumreq(),  factory.make_swreset(),   factory.make_hwreset(),
        factory.make_cfgreset(),
    };
    for (auto& m : msgs)
        m->parse(buf, len);

    auto id = factory.make_idreply();
    if (id->parse(buf, len) && id->name().size() > q7xxUSBMsg_IDREPLY::nameSize)
        __builtin_trap();
    auto sn = factory.make_snumreply();
    if (sn->parse(buf, len) && sn->snum().size() != q7xxUSBMsg_SNUMREPLY::snumSize)
        __builtin_trap();

    // The output-report length comes from the device as well.
    if (size > 0) {
        std::vector<unsigned char> out(data[0] % 80);
        for (auto& m : msgs)
            m->formatReport(out.data(), out.size());
    }
    return 0;
}
