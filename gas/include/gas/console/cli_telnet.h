// cliTelnetT: the console terminal of a telnet connection.
//
// Combines the server side of the telnet protocol with the VT100 key decoder
// over one byte stream (normally a devbufT over the accepted socket): every
// received byte is fed to the telnet layer alone, protocol bytes are taken out
// and answered, and the plain characters go on to the decoder. output() gives
// the terminal that commands and the editor write to; it doubles the telnet
// escape byte 255 and sends everything through the same stream.
// Ownership: refers to the stream, which must outlive the terminal.
// Thread-safety: one thread drives run() and writes to output().
// Failure: a failed stream or telnet reply ends run().
#pragma once

#include <iostream>
#include <memory>
#include <string>

#include "cli/decoder.h"
#include "cli/term.h"
#include "proto/telnet_srv_session.h"

namespace rux {

class cliTelnetT : public telnetSrvSessionT, public cliVT100InputDecoderT {
public:
    explicit cliTelnetT(std::iostream& io);
    ~cliTelnetT() override;

    // The VT100 terminal on the connection (made once, shared).
    std::shared_ptr<cliOutputT> output();

protected:
    bool _tn_in(const std::string& text) override;
    bool _tn_out(const unsigned char* data, int len) override;
    int _filter(char& c) override;

private:
    class termT;

    std::iostream& _io;
    std::shared_ptr<cliOutputT> _term;
    bool _got = false; // _tn_in delivered a character for the byte being fed
    char _char = 0;
};

} // namespace rux
