#include "framereader.h"

#include <cstring>
#include <sstream>

#include "msgline.h"

namespace {

constexpr size_t kHeader = 12;
const char kMagic[4] = {'K', 'I', 'V', 'M'};

unsigned long get32(const char* p) {
    auto b = reinterpret_cast<const unsigned char*>(p);
    return (unsigned long)b[0] << 24 | (unsigned long)b[1] << 16 | (unsigned long)b[2] << 8 |
           (unsigned long)b[3];
}

} // namespace

void uiFrameReaderT::feed(const char* bytes, size_t n) {
    // Consumed frames go before the buffer grows, so it stays near one frame.
    if (_pos > 0 && _pos * 2 >= _buf.size()) {
        _buf.erase(0, _pos);
        _pos = 0;
    }
    _buf.append(bytes, n);
}

unsigned long uiFrameReaderT::announced() const {
    return buffered() >= kHeader ? get32(_buf.data() + _pos + 8) : 0;
}

int uiFrameReaderT::next(std::unique_ptr<rux::ipcMessageT>& msg, std::string& service,
                         std::string& node) {
    size_t have = buffered();
    const char* p = _buf.data() + _pos;
    size_t magic = have < 4 ? have : 4;
    if (std::memcmp(p, kMagic, magic) != 0)
        return 2;
    if (have < kHeader)
        return enINCOMPLETE;
    unsigned long len = get32(p + 8);
    if (len > msg_lineMaxPayload)
        return enTOO_LONG;
    if (have < kHeader + len)
        return enINCOMPLETE;

    std::istringstream is(std::string(p, kHeader + len));
    _pos += kHeader + len;
    if (_pos == _buf.size()) {
        _buf.clear();
        _pos = 0;
    }
    return msg_fromLine(is, msg, service, node);
}

