#include "usbdrv/wakepipe.h"

#include "sal/assert.h"

namespace usbdrv {

wakePipeT::wakePipeT() {
    const rux::namelessPipeSockAddrT name;
    RUX_OS_CHECK(_rd.bind(name));
    RUX_OS_CHECK(_wr.connect(name));
}

wakePipeT::~wakePipeT() {
    _wr.close();
    _rd.close();
}

bool wakePipeT::wake() {
    const char b = 1;
    return _wr.write(&b, 1) == 1;
}

void wakePipeT::drain() {
    char buf[64];
    for (long n = _rd.avail(); n > 0; n = _rd.avail()) {
        const long want = n < long(sizeof buf) ? n : long(sizeof buf);
        if (_rd.read(buf, want) <= 0)
            return;
    }
}

} // namespace usbdrv
