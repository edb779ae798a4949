#include "msgline.h"

#include <cstdint>
#include <istream>
#include <ostream>

#include "sal/assert.h"

namespace {

const char kMagic[4] = {'K', 'I', 'V', 'M'};
constexpr unsigned kPrio = 2;

struct codeT {
    unsigned code;
    const char* name;
};

const codeT kServices[] = {{1, "local"}, {2, "remote"}, {3, ""}};
const codeT kNodes[] = {{0, ""},
                        {1, "kivsvc-drv"},
                        {2, "kivsvc-rass"},
                        {256, "kivsvc-ui"},
                        {257, "kivsvc-cli"},
                        {258, "rass-srv"}};

template <size_t N> bool codeOf(const codeT (&table)[N], const std::string& name, unsigned& code) {
    for (const codeT& e : table) {
        if (name == e.name) {
            code = e.code;
            return true;
        }
    }
    return false;
}

template <size_t N> const char* nameOf(const codeT (&table)[N], unsigned code) {
    for (const codeT& e : table) {
        if (e.code == code)
            return e.name;
    }
    return nullptr;
}

void put32(char* p, uint32_t v) {
    p[0] = char(v >> 24);
    p[1] = char(v >> 16);
    p[2] = char(v >> 8);
    p[3] = char(v);
}

uint32_t get32(const char* p) {
    auto b = reinterpret_cast<const unsigned char*>(p);
    return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | uint32_t(b[3]);
}

// All of `n` bytes, or false.
bool readAll(std::istream& is, char* p, std::streamsize n) {
    if (n == 0)
        return bool(is);
    is.read(p, n);
    return is && is.gcount() == n;
}

} // namespace

int msg_toLine(std::ostream& os, std::unique_ptr<rux::ipcMessageT> const& msg,
               std::string const& service, std::string const& node) {
    RUX_FAULT_IF(!msg);
    unsigned svc = 0, nd = 0;
    // A frame with an invented code would mislead the peer; a half-written one
    // would corrupt the stream for every frame after it.
    if (!codeOf(kServices, service, svc) || !codeOf(kNodes, node, nd))
        return 2;
    unsigned long len = msg->currSize();
    char hdr[12];
    for (int i = 0; i < 4; ++i)
        hdr[i] = kMagic[i];
    put32(hdr + 4, uint32_t(svc << 16 | nd));
    put32(hdr + 8, uint32_t(len));
    os.write(hdr, sizeof hdr);
    if (len)
        os.write(msg->buf(), std::streamsize(len));
    return (os.bad() || os.fail()) ? 1 : 0;
}

int msg_fromLine(std::istream& is, std::unique_ptr<rux::ipcMessageT>& msg, std::string& service,
                 std::string& node) {
    char magic[4];
    if (!readAll(is, magic, 4))
        return 1;
    for (int i = 0; i < 4; ++i) {
        if (magic[i] != kMagic[i])
            return 2;
    }
    char words[8];
    if (!readAll(is, words, 8))
        return 1;
    uint32_t hdr = get32(words);
    uint32_t len = get32(words + 4);
    if (len > msg_lineMaxPayload)
        return 1;

    msg = rux::ipcMessageT::create(len, kPrio);
    RUX_FAULT_IF(!msg); // the bound lies far below the message limit
    if (!readAll(is, msg->buf(), std::streamsize(len)))
        return 1;
    msg->setSize(len);

    const char* svc = nameOf(kServices, hdr >> 16);
    if (!svc)
        return 3;
    service = svc;
    const char* nd = nameOf(kNodes, hdr & 0xffffu);
    if (!nd)
        return 4;
    node = nd;
    return 0;
}
