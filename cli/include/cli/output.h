// cliOutputT: where the parser echoes and commands write their output.
//
// A terminal derives from it and realises the raw character output and the
// cursor operations. When cooked (the default) a line feed not preceded by a
// carriage return goes out as carriage return plus line feed.
// Thread-safety: none; the owner serialises all writers of one output.
// Failure: output errors belong to the device (a failed stream stays failed).
#pragma once

#include <memory>
#include <ostream>
#include <sstream>
#include <string>

namespace rux {

class cliOutputT {
public:
    class streamT;

    virtual ~cliOutputT() = default;

    virtual void flush() = 0;
    // Writes one character unchanged.
    virtual void rchr(char c) = 0;
    // Writes a text unchanged; the base goes through rchr.
    virtual void rtext(const std::string& s);
    virtual void push() = 0;
    virtual void pop() = 0;
    // Erases the whole line and puts the cursor at its start.
    virtual void erasel() = 0;
    // Erases from the cursor to the end of the display.
    virtual void erased() = 0;
    // Erases the character before the cursor and moves onto it.
    virtual void erasec() = 0;
    virtual void nl() = 0;
    virtual void cup(unsigned n) = 0;

    void chr(char c);
    void text(const std::string& s);
    // printf-style into 256 bytes; longer results are cut to 255 characters.
    // Returns the full formatted length, or the negative formatting result.
    int print(const char* format, ...) __attribute__((format(printf, 2, 3)));

    bool cooked() const { return _cooked; }
    void cooked(bool on) { _cooked = on; }
    // True when the last character written by chr/text was a line feed.
    bool bol() const { return _bol; }

protected:
    bool _cooked = true;
    bool _lastCR = false;
    bool _bol = true;
};

// A string stream onto an output: the text collected is written with the
// output's text() on flush and when the stream is destroyed.
class cliOutputT::streamT : public std::ostream {
public:
    explicit streamT(std::shared_ptr<cliOutputT> out);
    ~streamT() override;

private:
    class bufT : public std::stringbuf {
    public:
        explicit bufT(std::shared_ptr<cliOutputT> out) : _out(std::move(out)) {}

    protected:
        int sync() override;

    private:
        std::shared_ptr<cliOutputT> _out;
    };

    bufT _buf;
};

} // namespace rux
