// Terminals: a VT100 terminal over a std::ostream and a terminal that shows
// nothing.
//
// Ownership: cliVT100TermT refers to the stream it was made with; the stream
// must outlive the terminal.
// Thread-safety: none (see cliOutputT).
#pragma once

#include <memory>
#include <ostream>

#include "cli/output.h"

namespace rux {

class cliVT100TermT : public cliOutputT {
public:
    static std::shared_ptr<cliVT100TermT> create(std::ostream& os);
    explicit cliVT100TermT(std::ostream& os) : _os(os) {}

    void flush() override;
    void rchr(char c) override;
    void rtext(const std::string& s) override;
    void push() override;
    void pop() override;
    void erasel() override;
    void erased() override;
    void erasec() override;
    void nl() override;
    void cup(unsigned n) override;

private:
    std::ostream& _os;
};

class cliNullTermT : public cliOutputT {
public:
    static std::shared_ptr<cliNullTermT> create();

    void flush() override {}
    void rchr(char) override {}
    void rtext(const std::string&) override {}
    void push() override {}
    void pop() override {}
    void erasel() override {}
    void erased() override {}
    void erasec() override {}
    void nl() override {}
    void cup(unsigned) override {}
};

} // namespace rux
