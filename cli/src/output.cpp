#include "cli/output.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace rux {

void cliOutputT::rtext(const std::string& s) {
    for (char c : s)
        rchr(c);
}

void cliOutputT::chr(char c) {
    if (_cooked) {
        if (c == '\n' && !_lastCR)
            rchr('\r');
        _lastCR = c == '\r';
    }
    rchr(c);
    _bol = c == '\n';
}

void cliOutputT::text(const std::string& s) {
    if (_cooked) {
        for (char c : s)
            chr(c);
        return;
    }
    if (s.empty())
        return;
    rtext(s);
    _bol = s.back() == '\n';
}

int cliOutputT::print(const char* format, ...) {
    char buf[256];
    va_list ap;
    va_start(ap, format);
    int n = std::vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    if (n == -1)
        return -1;
    if (n < 0) {
        text("!! PRINT TOO LONG !!\n");
        return n;
    }
    text(std::string(buf, std::min(n, static_cast<int>(sizeof buf) - 1)));
    return n;
}

cliOutputT::streamT::streamT(std::shared_ptr<cliOutputT> out)
    : std::ostream(nullptr), _buf(std::move(out)) {
    rdbuf(&_buf);
}

cliOutputT::streamT::~streamT() {
    _buf.pubsync();
}

int cliOutputT::streamT::bufT::sync() {
    std::string s = str();
    if (s.empty() || !_out)
        return 0;
    str(std::string());
    _out->text(s);
    _out->flush();
    return 0;
}

} // namespace rux
