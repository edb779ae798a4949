#include "q7xx/basicmsgs.h"

#include <algorithm>

std::string q7xxUSBMsg_IDREPLY::name() const {
    const auto end = std::find(_name.begin(), _name.end(), 0);
    return std::string(_name.begin(), end);
}

int q7xxUSBMsg_IDREPLY::_parse(const unsigned char* pos, int len) {
    if (len < payloadSize)
        return -1;
    _first = pos[0];
    _hwver = pos[1];
    _swver = pos[2];
    std::copy(pos + 3, pos + 3 + nameSize, _name.begin());
    return payloadSize;
}

int q7xxUSBMsg_SNUMREPLY::_parse(const unsigned char* pos, int len) {
    if (len < payloadSize)
        return -1;
    _first = pos[0];
    _snum.assign(reinterpret_cast<const char*>(pos + 1), snumSize);
    return len - uncheckedTail;
}
