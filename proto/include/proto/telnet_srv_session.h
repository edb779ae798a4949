// telnetSrvSessionT: server side of a Telnet session (RFC 854 framing with the
// SUPPRESS-GO-AHEAD, ECHO and TERMINAL-TYPE options), free of any transport.
//
// The owner feeds the bytes read from the client into tn_feed(); plain text
// comes back through _tn_in() and protocol replies leave through _tn_out(),
// both implemented by the derived class. The server asks for character-at-a-
// time operation with server echo and learns the client's terminal type.
//
// Ownership: the session owns only its command buffer and terminal type; it
// keeps no pointer to the data it is fed.
// Thread-safety: none; one thread drives a session at a time.
// Failure: operations return false when a reply could not be sent or when the
// derived class asked to end the session. Malformed input never fails: it is
// ignored, and an over-long subnegotiation is dropped without being stored.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace rux {

class telnetSrvSessionT {
public:
    // Protocol bytes.
    enum : unsigned char {
        tnSE = 240,
        tnSB = 250,
        tnWILL = 251,
        tnWONT = 252,
        tnDO = 253,
        tnDONT = 254,
        tnIAC = 255,
    };
    // Options and TERMINAL-TYPE sub-commands.
    enum : unsigned char {
        tnOptECHO = 1,
        tnOptSGA = 3,
        tnOptTTYPE = 24,
        tnTTypeIS = 0,
        tnTTypeSEND = 1,
    };
    // Longest subnegotiation kept, IAC SB through SE; longer ones are dropped.
    static constexpr std::size_t maxCommand = 256;

    telnetSrvSessionT() = default;
    virtual ~telnetSrvSessionT();
    telnetSrvSessionT(const telnetSrvSessionT&) = delete;
    telnetSrvSessionT& operator=(const telnetSrvSessionT&) = delete;

    // Sends the opening negotiation: WILL SUPPRESS-GO-AHEAD, DO TERMINAL-TYPE,
    // DO ECHO. Returns the result of _tn_out.
    bool tn_init();
    // Processes bytes received from the client; delivers the plain text among
    // them in one _tn_in call. False when a reply failed, _tn_ready refused or
    // _tn_in asked to end the session.
    bool tn_feed(const unsigned char* data, int len);
    // Sends text or one character to the client unchanged.
    bool tn_reply(const std::string& text);
    bool tn_reply(char c);

    // Terminal type last reported by the client, upper case; empty until then.
    const std::string& tn_termtype() const { return _termType; }

protected:
    // Called right after the reply to the client's WONT ECHO has gone out;
    // false ends the session.
    virtual bool _tn_ready();
    // Receives plain text; false ends the session.
    virtual bool _tn_in(const std::string& text) = 0;
    // Sends raw bytes to the client; false on failure.
    virtual bool _tn_out(const unsigned char* data, int len) = 0;

private:
    // One byte while a command is being received; false ends tn_feed.
    bool _command(unsigned char c, std::string& text);
    // Answers a complete IAC verb option command.
    bool _negotiate(unsigned char verb, unsigned char option);
    // Handles the subnegotiation in the command buffer once it is complete.
    bool _handleTelnetSb();
    bool _send(unsigned char a, unsigned char b, unsigned char c);

    // Bytes of the command being received; empty outside a command.
    std::vector<unsigned char> _cmd;
    // Client's terminal type, upper case.
    std::string _termType;
};

} // namespace rux
