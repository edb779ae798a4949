// cliInputT: the nine key operations an input decoder drives.
//
// Each returns true when the key was accepted.
// Thread-safety: one decoder drives one sink at a time.
#pragma once

namespace rux {

class cliInputT {
public:
    virtual ~cliInputT() = default;

    virtual bool chr(char c) = 0; // a printable character
    virtual bool del() = 0;       // backspace
    virtual bool ok() = 0;        // enter
    virtual bool complete() = 0;  // tab
    virtual bool help() = 0;      // '?'
    virtual bool sep() = 0;       // blank
    virtual bool up() = 0;        // arrow up
    virtual bool down() = 0;      // arrow down
    virtual bool brk() = 0;       // ctrl-c
};

} // namespace rux
