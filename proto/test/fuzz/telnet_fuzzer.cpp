// Feeds arbitrary client bytes to a session in chunks whose sizes come from the
// input, with every hook able to fail.
#include "rux_proto_xface.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

class sessionT : public rux::telnetSrvSessionT {
public:
    explicit sessionT(uint8_t mode) : _mode(mode) {}

protected:
    bool _tn_ready() override { return (_mode & 1) == 0; }
    bool _tn_in(const std::string& text) override {
        if (text.empty())
            std::abort(); // never called without text
        return (_mode & 2) == 0;
    }
    bool _tn_out(const unsigned char* data, int len) override {
        if (data == nullptr || len <= 0)
            std::abort();
        volatile unsigned char sink = data[len - 1];
        (void)sink;
        return (_mode & 4) == 0;
    }

private:
    uint8_t _mode;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    sessionT s(data[0]);
    s.tn_init();
    size_t pos = 1;
    while (pos < size) {
        // First byte of each chunk: its length (0 means the rest).
        size_t n = data[pos++];
        if (n == 0 || n > size - pos)
            n = size - pos;
        s.tn_feed(data + pos, static_cast<int>(n));
        pos += n;
        if (s.tn_termtype().size() > rux::telnetSrvSessionT::maxCommand)
            std::abort();
    }
    return 0;
}
