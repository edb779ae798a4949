#include "q7xx/v2/cookie.h"

#include <algorithm>
#include <cstring>

#include "messages.pb.h"
#include "q7xx/scaling.h"
#include "rux_logger_xface.h"

namespace v2 {

int q7xxUSBMsg_COOKIE::_format(unsigned char* pos) const {
    std::copy(_text.begin(), _text.end(), pos);
    return size;
}

int q7xxUSBMsg_COOKIE::_parse(const unsigned char* pos, int len) {
    if (len < size)
        return -1;
    std::copy(pos, pos + size, _text.begin());
    return size;
}

bool q7xxUSBMsg_COOKIE::toCbusMsg(kivsvc::q7xxConfigT& out) const {
    out.set_diam(reinterpret_cast<const char*>(_text.data()), _text.size());
    return true;
}

bool q7xxUSBMsg_COOKIE::fromCbusMsg(const kivsvc::q7xxConfigT& in) {
    if (!in.has_diam())
        return true;
    const std::string& d = in.diam();
    const std::string text = d.substr(0, d.find('\0'));
    q7xx::logLine(rux::log::WARNING, "fromCbusMsg", "cfg.diam().data()='" + text + "'");
    _text.fill(0);
    std::copy_n(text.begin(), std::min<std::size_t>(text.size(), size - 1), _text.begin());
    return true;
}

} // namespace v2
