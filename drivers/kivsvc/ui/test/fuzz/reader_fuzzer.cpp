// Arbitrary bytes in arbitrary reads through the bridge's frame reader: the
// first input byte chooses the read size. Every frame taken must encode back to
// its bytes, and nothing but a whole frame may be held beyond one read.
#include "framereader.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "msgline.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    size_t chunk = size_t(data[0] % 64) + 1;
    const char* p = reinterpret_cast<const char*>(data + 1);
    size_t n = size - 1;
    uiFrameReaderT r;
    std::string fed;
    size_t taken = 0;
    for (size_t off = 0; off < n; off += chunk) {
        size_t k = n - off < chunk ? n - off : chunk;
        r.feed(p + off, k);
        fed.append(p + off, k);
        for (;;) {
            std::unique_ptr<rux::ipcMessageT> msg;
            std::string service, node;
            int rc = r.next(msg, service, node);
            if (rc == uiFrameReaderT::enINCOMPLETE)
                break;
            if (rc != 0)
                return 0; // the bridge drops the connection here
            std::ostringstream os;
            if (!msg || msg_toLine(os, msg, service, node) != 0)
                std::abort();
            if (fed.compare(taken, os.str().size(), os.str()) != 0)
                std::abort();
            taken += os.str().size();
        }
        if (r.buffered() != fed.size() - taken || r.buffered() > 12 + msg_lineMaxPayload + 64)
            std::abort();
    }
    return 0;
}
