// Reads arbitrary bytes as a run of control-bus frames, as the UI bridge reads
// its peer. Every frame that decodes must encode back to the bytes it came from.
#include "msgline.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    std::istringstream is(input);
    for (;;) {
        std::streamoff start = is.tellg();
        std::unique_ptr<rux::ipcMessageT> msg;
        std::string service, node;
        int rc = msg_fromLine(is, msg, service, node);
        if (rc < 0 || rc > 4)
            std::abort();
        if (rc != 0)
            return 0;
        if (!msg || msg->currSize() > msg_lineMaxPayload)
            std::abort();
        std::ostringstream os;
        if (msg_toLine(os, msg, service, node) != 0)
            std::abort();
        std::streamoff end = is.tellg();
        if (os.str() != input.substr(size_t(start), size_t(end - start)))
            std::abort();
    }
}
