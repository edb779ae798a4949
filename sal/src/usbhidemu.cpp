// Emulated HID devices: the description format, plugging a device in, and
// the host's source that watches the emulation directory.
#include "sal/usbhidemu.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "hiddesc.h"
#include "usbhidmgr.h"

namespace rux {

namespace {

constexpr size_t maxDescFile = 4096;
constexpr size_t maxText = 126;
constexpr size_t maxName = 64;
const char* const sockExt = ".sock";
const char* const descExt = ".hid";

bool hex16(const std::string& s, uint16_t& out) {
    if (s.empty() || s.size() > 4)
        return false;
    unsigned v = 0;
    for (char c : s) {
        int d = (c >= '0' && c <= '9')   ? c - '0'
                : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                         : -1;
        if (d < 0)
            return false;
        v = v * 16 + unsigned(d);
    }
    out = uint16_t(v);
    return true;
}

bool length(const std::string& s, uint16_t& out) {
    if (s.empty() || s.size() > 5)
        return false;
    unsigned v = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + unsigned(c - '0');
    }
    if (v > impl::hidMaxReport)
        return false;
    out = uint16_t(v);
    return true;
}

bool text(const std::string& s, std::string& out) {
    if (s.size() > maxText)
        return false;
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7f)
            return false;
    out = s;
    return true;
}

bool goodName(const std::string& n) {
    if (n.empty() || n.size() > maxName || n[0] == '.')
        return false;
    for (char c : n) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '_' || c == '-' || c == '.';
        if (!ok)
            return false;
    }
    return true;
}

bool endsWith(const std::string& s, const char* ext) {
    size_t n = std::strlen(ext);
    return s.size() > n && s.compare(s.size() - n, n, ext) == 0;
}

// The whole file, when it is a regular file of at most maxDescFile bytes.
bool readSmall(const std::string& path, std::string& out) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && size_t(st.st_size) <= maxDescFile;
    out.clear();
    char buf[maxDescFile + 1];
    while (ok) {
        ssize_t r = ::read(fd, buf, sizeof buf);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            ok = r == 0;
            break;
        }
        out.append(buf, size_t(r));
        ok = out.size() <= maxDescFile;
    }
    ::close(fd);
    return ok;
}

bool makeDirs(const std::string& dir) {
    struct stat st;
    if (::stat(dir.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode);
    size_t slash = dir.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !makeDirs(dir.substr(0, slash)))
        return false;
    return ::mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

} // namespace

std::string usbHidEmuDescT::to_text() const {
    char head[200];
    std::snprintf(head, sizeof head,
                  "vendor=%04X\nproduct=%04X\ninput=%u\noutput=%u\nfeature=%u\n"
                  "usage_page=%04X\nusage=%04X\n",
                  id.vendor, id.product, caps.inputReportByteLength, caps.outputReportByteLength,
                  caps.featureReportByteLength, caps.usagePage, caps.usage);
    return std::string(head) + "description=" + description + "\nserial=" + serial + "\n";
}

bool usbHidEmuDescT::parse(const std::string& t, usbHidEmuDescT& out) {
    if (t.size() > maxDescFile)
        return false;
    usbHidEmuDescT d;
    bool vendor = false, product = false;
    size_t at = 0;
    while (at < t.size()) {
        size_t end = t.find('\n', at);
        if (end == std::string::npos)
            end = t.size();
        std::string line = t.substr(at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        size_t eq = line.find('=');
        if (line.empty() || line[0] == '#' || eq == std::string::npos)
            continue;
        std::string k = line.substr(0, eq), v = line.substr(eq + 1);
        bool ok = true;
        if (k == "vendor")
            ok = vendor = hex16(v, d.id.vendor);
        else if (k == "product")
            ok = product = hex16(v, d.id.product);
        else if (k == "input")
            ok = length(v, d.caps.inputReportByteLength);
        else if (k == "output")
            ok = length(v, d.caps.outputReportByteLength);
        else if (k == "feature")
            ok = length(v, d.caps.featureReportByteLength);
        else if (k == "usage_page")
            ok = hex16(v, d.caps.usagePage);
        else if (k == "usage")
            ok = hex16(v, d.caps.usage);
        else if (k == "description")
            ok = text(v, d.description);
        else if (k == "serial")
            ok = text(v, d.serial);
        if (!ok)
            return false;
    }
    if (!vendor || !product)
        return false;
    out = d;
    return true;
}

bool usbHidEmuDevT::plug(const std::string& dir, const std::string& name,
                         const usbHidEmuDescT& desc) {
    if (plugged() || !goodName(name) || dir.empty())
        return false;
    std::string base = dir + "/" + name;
    auto ctx = impl::bindLocal(base + sockExt, base + sockExt, SOCK_SEQPACKET, 4);
    if (!ctx)
        return false;
    // Into place by rename, so that the host never reads half a description.
    std::string tmp = dir + "/." + name + descExt + ".tmp";
    std::string body = desc.to_text();
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool ok = fd >= 0 && ::write(fd, body.data(), body.size()) == ssize_t(body.size());
    if (fd >= 0)
        ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(tmp.c_str(), (base + descExt).c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false; // the endpoint goes with ctx
    }
    _listener.context(std::move(ctx));
    _sock = base + sockExt;
    _desc = base + descExt;
    return true;
}

void usbHidEmuDevT::unplug() {
    if (!plugged())
        return;
    ::unlink(_desc.c_str());
    _listener.shutdown(3);
    _listener.close(); // removes the endpoint once no accept holds it
    _sock.clear();
    _desc.clear();
}

std::string usbHidEmuDevT::hostPath() const {
    if (_sock.empty())
        return std::string();
    char real[PATH_MAX];
    std::string dir = _sock.substr(0, _sock.find_last_of('/'));
    std::string file = _sock.substr(_sock.find_last_of('/'));
    if (::realpath(dir.c_str(), real))
        dir = real;
    return impl::hidKey(dir + file);
}

namespace impl {

namespace {

// Watches the emulation directory: a description appearing is an arrival,
// one disappearing a removal.
class emuSourceT final : public hidSourceT {
public:
    explicit emuSourceT(std::string dir) : _dir(std::move(dir)) {}
    ~emuSourceT() override {
        if (_in >= 0)
            ::close(_in);
    }

    bool start() {
        if (!makeDirs(_dir))
            return false;
        char real[PATH_MAX];
        if (!::realpath(_dir.c_str(), real))
            return false;
        _dir = real;
        _in = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        return _in >= 0 && ::inotify_add_watch(_in, _dir.c_str(),
                                               IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM |
                                                   IN_DELETE | IN_ONLYDIR) >= 0;
    }

    int fd() const override { return _in; }

    bool enumerate(std::vector<hidDevInfoT>& out) override {
        DIR* d = ::opendir(_dir.c_str());
        if (!d)
            return false;
        while (dirent* e = ::readdir(d)) {
            hidDevInfoT info;
            if (_load(e->d_name, info))
                out.push_back(std::move(info));
        }
        ::closedir(d);
        return true;
    }

    void events(std::vector<eventT>& out, bool& rescan) override {
        alignas(inotify_event) char buf[8192];
        for (;;) {
            ssize_t n = ::read(_in, buf, sizeof buf);
            if (n <= 0)
                return;
            for (ssize_t at = 0; at < n;) {
                auto* ev = reinterpret_cast<inotify_event*>(buf + at);
                at += ssize_t(sizeof(inotify_event) + ev->len);
                if (ev->mask & IN_Q_OVERFLOW) {
                    rescan = true;
                    continue;
                }
                std::string name = ev->len ? std::string(ev->name) : std::string();
                std::string stem;
                if (!_stem(name, stem))
                    continue;
                eventT e{false, {}};
                if ((ev->mask & (IN_CLOSE_WRITE | IN_MOVED_TO)) && _load(name, e.dev)) {
                    e.add = true;
                } else {
                    // Gone, or rewritten into something unusable.
                    e.dev.key = hidKey(_dir + "/" + stem + sockExt);
                }
                out.push_back(std::move(e));
            }
        }
    }

    std::shared_ptr<socketContextT> open(const hidDevInfoT& dev, usbHidSockAddrT& addr) override {
        std::string stem = dev.path.substr(0, dev.path.size() - std::strlen(sockExt));
        std::string text;
        usbHidEmuDescT desc;
        if (!readSmall(stem + descExt, text) || !usbHidEmuDescT::parse(text, desc) ||
            desc.id != dev.id) {
            errno = ENODEV;
            return nullptr;
        }
        int fd = connectLocal(dev.node, SOCK_SEQPACKET, 1);
        if (fd < 0) {
            errno = ENODEV; // a description left behind by an emulator that is gone
            return nullptr;
        }
        auto c = std::make_shared<hidDevCtxT>(fd, hidDevFactory());
        c->emulated = true;
        c->numbered = true;
        addr.id = desc.id;
        addr.caps = desc.caps;
        addr.path = dev.key;
        addr.description = desc.description;
        addr.serial = desc.serial;
        c->addr = addr;
        return c;
    }

private:
    bool _stem(const std::string& name, std::string& stem) const {
        if (!endsWith(name, descExt))
            return false;
        stem = name.substr(0, name.size() - std::strlen(descExt));
        return goodName(stem);
    }

    bool _load(const std::string& name, hidDevInfoT& info) {
        std::string stem, text;
        usbHidEmuDescT desc;
        if (!_stem(name, stem) || !readSmall(_dir + "/" + name, text) ||
            !usbHidEmuDescT::parse(text, desc))
            return false;
        info.path = _dir + "/" + stem + sockExt;
        info.node = info.path;
        info.key = hidKey(info.path);
        info.id = desc.id;
        info.description = desc.description;
        info.serial = desc.serial;
        info.source = this;
        return true;
    }

    std::string _dir;
    int _in = -1;
};

} // namespace

std::unique_ptr<hidSourceT> makeEmuSource(const std::string& dir) {
    auto s = std::make_unique<emuSourceT>(dir);
    if (!s->start())
        return nullptr;
    return s;
}

} // namespace impl
} // namespace rux
