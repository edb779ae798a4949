#include "gas/console/cli_telnet.h"

namespace rux {

// The VT100 terminal with the telnet escape byte doubled.
class cliTelnetT::termT : public cliVT100TermT {
public:
    explicit termT(std::ostream& os) : cliVT100TermT(os) {}

    void rchr(char c) override {
        if (static_cast<unsigned char>(c) == telnetSrvSessionT::tnIAC)
            cliVT100TermT::rchr(c);
        cliVT100TermT::rchr(c);
    }
    void rtext(const std::string& s) override {
        if (s.find(static_cast<char>(telnetSrvSessionT::tnIAC)) == std::string::npos) {
            cliVT100TermT::rtext(s);
            return;
        }
        for (char c : s)
            rchr(c);
    }
};

cliTelnetT::cliTelnetT(std::iostream& io) : cliVT100InputDecoderT(io), _io(io) {}

cliTelnetT::~cliTelnetT() = default;

std::shared_ptr<cliOutputT> cliTelnetT::output() {
    if (!_term)
        _term = std::make_shared<termT>(_io);
    return _term;
}

bool cliTelnetT::_tn_in(const std::string& text) {
    // One byte is fed at a time, so at most one character comes back.
    if (!text.empty()) {
        _got = true;
        _char = text[0];
    }
    return true;
}

bool cliTelnetT::_tn_out(const unsigned char* data, int len) {
    if (!_io.write(reinterpret_cast<const char*>(data), len))
        return false;
    return static_cast<bool>(_io.flush());
}

int cliTelnetT::_filter(char& c) {
    _got = false;
    const unsigned char b = static_cast<unsigned char>(c);
    if (!tn_feed(&b, 1))
        return enSTOP;
    if (!_got)
        return enSKIP;
    c = _char;
    return enUSE;
}

} // namespace rux
