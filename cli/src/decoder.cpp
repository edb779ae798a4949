#include "cli/decoder.h"

namespace rux {

int cliVT100InputDecoderT::_filter(char&) {
    return enUSE;
}

bool cliVT100InputDecoderT::_next(char& c) {
    for (;;) {
        auto ch = _is.get();
        if (ch == std::istream::traits_type::eof())
            return false;
        c = static_cast<char>(ch);
        int f = _filter(c);
        if (f == enSTOP)
            return false;
        if (f == enUSE)
            return true;
    }
}

void cliVT100InputDecoderT::_key(cliInputT& sink, char c) {
    switch (static_cast<unsigned char>(c)) {
    case 3:
        sink.brk();
        break;
    case 9:
        sink.complete();
        break;
    case 13:
        sink.ok();
        break;
    case 32:
        sink.sep();
        break;
    case 63:
        sink.help();
        break;
    case 127:
        sink.del();
        break;
    default:
        if (c > 32 && c < 127)
            sink.chr(c);
        break; // line feed, backspace and other controls mean nothing here
    }
}

// Reads the sequence after an escape up to its final byte; every byte before
// it, control bytes included, belongs to the sequence.
bool cliVT100InputDecoderT::_escape(cliInputT& sink) {
    char seq[maxEscape];
    int n = 0;
    while (n < maxEscape) {
        char b;
        if (!_next(b))
            return false;
        seq[n++] = b;
        const unsigned char u = static_cast<unsigned char>(b);
        if (u >= 0x40 && u <= 0x7e && b != '[' && b != 'O')
            break;
    }
    if (n == 2 && (seq[0] == '[' || seq[0] == 'O')) {
        if (seq[1] == 'A')
            sink.up();
        else if (seq[1] == 'B')
            sink.down();
    }
    return true;
}

void cliVT100InputDecoderT::run(cliInputT& sink) {
    char c;
    while (_next(c)) {
        if (c == 27) {
            if (!_escape(sink))
                return;
        } else {
            _key(sink, c);
        }
    }
}

} // namespace rux
