#include "proto/telnet_srv_session.h"

#include <cctype>

namespace rux {

namespace {

bool isVerb(unsigned char c) {
    return c == telnetSrvSessionT::tnWILL || c == telnetSrvSessionT::tnWONT ||
           c == telnetSrvSessionT::tnDO || c == telnetSrvSessionT::tnDONT;
}

// Asks the client for (the next) terminal type.
const unsigned char ttypeSend[] = {telnetSrvSessionT::tnIAC,      telnetSrvSessionT::tnSB,
                                   telnetSrvSessionT::tnOptTTYPE, telnetSrvSessionT::tnTTypeSEND,
                                   telnetSrvSessionT::tnIAC,      telnetSrvSessionT::tnSE};

} // namespace

telnetSrvSessionT::~telnetSrvSessionT() = default;

bool telnetSrvSessionT::_tn_ready() {
    return true;
}

bool telnetSrvSessionT::tn_init() {
    static const unsigned char opening[] = {tnIAC,      tnWILL, tnOptSGA, tnIAC,    tnDO,
                                            tnOptTTYPE, tnIAC,  tnDO,     tnOptECHO};
    return _tn_out(opening, sizeof opening);
}

bool telnetSrvSessionT::tn_reply(const std::string& text) {
    return _tn_out(reinterpret_cast<const unsigned char*>(text.data()),
                   static_cast<int>(text.size()));
}

bool telnetSrvSessionT::tn_reply(char c) {
    const unsigned char b = static_cast<unsigned char>(c);
    return _tn_out(&b, 1);
}

bool telnetSrvSessionT::tn_feed(const unsigned char* data, int len) {
    if (data == nullptr || len <= 0)
        return true;
    std::string text;
    for (int i = 0; i < len; ++i) {
        const unsigned char c = data[i];
        if (!_cmd.empty()) {
            if (!_command(c, text))
                return false;
        } else if (c == tnIAC) {
            _cmd.push_back(c);
        } else {
            // Telnet sends a bare carriage return as CR NUL.
            text.push_back(c == 0 ? '\n' : static_cast<char>(c));
        }
    }
    if (text.empty())
        return true;
    return _tn_in(text);
}

bool telnetSrvSessionT::_command(unsigned char c, std::string& text) {
    if (_cmd.size() >= 3 && _cmd[1] == tnSB) {
        if (_cmd.size() >= maxCommand) {
            // Too long to be a reply we asked for: drop it up to its end.
            if (c == tnSE)
                _cmd.clear();
            return true;
        }
        _cmd.push_back(c);
        return _handleTelnetSb();
    }
    _cmd.push_back(c);
    if (_cmd.size() == 2) {
        if (c == tnIAC) {
            text.push_back(static_cast<char>(tnIAC));
            _cmd.clear();
        } else if (c != tnSB && !isVerb(c)) {
            // Two-byte command (NOP, GA, AYT, ...): nothing to answer, and the
            // next byte is not part of it.
            _cmd.clear();
        }
        return true;
    }
    if (_cmd[1] == tnSB)
        return _handleTelnetSb();
    const unsigned char verb = _cmd[1];
    const unsigned char option = _cmd[2];
    _cmd.clear();
    return _negotiate(verb, option);
}

bool telnetSrvSessionT::_negotiate(unsigned char verb, unsigned char option) {
    switch (option) {
    case tnOptSGA:
        if (verb == tnWILL)
            return _send(tnIAC, tnDO, tnOptSGA);
        if (verb == tnDO)
            return _send(tnIAC, tnWILL, tnOptSGA);
        return true;
    case tnOptTTYPE:
        if (verb == tnWILL)
            return _tn_out(ttypeSend, sizeof ttypeSend);
        return true;
    case tnOptECHO:
        if (verb == tnWONT)
            return _send(tnIAC, tnWILL, tnOptECHO) && _tn_ready();
        return true;
    default:
        if (verb == tnWILL)
            return _send(tnIAC, tnDONT, option);
        if (verb == tnDO)
            return _send(tnIAC, tnWONT, option);
        return true;
    }
}

bool telnetSrvSessionT::_handleTelnetSb() {
    if (_cmd.back() != tnSE)
        return true;
    bool ok = true;
    if (_cmd.size() >= 5 && _cmd[2] == tnOptTTYPE && _cmd[3] == tnTTypeIS) {
        // The name runs up to IAC SE, or up to a bare SE.
        std::string name;
        for (std::size_t i = 4; i + 1 < _cmd.size() && _cmd[i] != tnIAC; ++i)
            name.push_back(static_cast<char>(std::toupper(_cmd[i])));
        // A client repeats the last name of its list when it has no more.
        if (name != _termType) {
            _termType = name;
            if (name != "DEC-VT100" && name != "UNKNOWN")
                ok = _tn_out(ttypeSend, sizeof ttypeSend);
        }
    }
    _cmd.clear();
    return ok;
}

bool telnetSrvSessionT::_send(unsigned char a, unsigned char b, unsigned char c) {
    const unsigned char reply[] = {a, b, c};
    return _tn_out(reply, sizeof reply);
}

} // namespace rux
