// Input decoders: turn a byte source into key operations on a cliInputT.
//
// cliVT100InputDecoderT reads a std::istream byte by byte until it ends or
// fails, or until _filter() says stop. Escape sequences are read to their
// final byte, at most 16 bytes after the escape; arrow up and down are
// recalled, every other sequence is dropped. Any byte sequence is safe.
// Ownership: the decoder refers to its stream, which must outlive it.
// Thread-safety: run() on one thread at a time.
#pragma once

#include <istream>

#include "cli/input.h"

namespace rux {

class cliInputDecoderT {
public:
    virtual ~cliInputDecoderT() = default;
    // Feeds the sink until the source ends.
    virtual void run(cliInputT& sink) = 0;
};

class cliVT100InputDecoderT : public cliInputDecoderT {
public:
    // _filter results.
    static constexpr int enUSE = 0;
    static constexpr int enSKIP = 1;
    static constexpr int enSTOP = 2;
    // Longest escape sequence, bytes after the escape.
    static constexpr int maxEscape = 16;

    explicit cliVT100InputDecoderT(std::istream& is) : _is(is) {}
    void run(cliInputT& sink) override;

protected:
    // Sees (and may change) every byte read; a protocol layer takes its own
    // bytes out of the stream here.
    virtual int _filter(char& c);

    std::istream& _is;

private:
    bool _next(char& c);
    void _key(cliInputT& sink, char c);
    bool _escape(cliInputT& sink);
};

} // namespace rux
