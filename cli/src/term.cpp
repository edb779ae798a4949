#include "cli/term.h"

#include <string>

namespace rux {

std::shared_ptr<cliVT100TermT> cliVT100TermT::create(std::ostream& os) {
    return std::make_shared<cliVT100TermT>(os);
}

void cliVT100TermT::flush() {
    _os.flush();
}

void cliVT100TermT::rchr(char c) {
    _os.put(c);
}

void cliVT100TermT::rtext(const std::string& s) {
    _os.write(s.data(), s.size());
}

void cliVT100TermT::push() {
    rtext("\33[s");
}

void cliVT100TermT::pop() {
    rtext("\33[u");
}

void cliVT100TermT::erasel() {
    rtext("\33[2K\r");
}

void cliVT100TermT::erased() {
    rtext("\33[J");
}

void cliVT100TermT::erasec() {
    rtext("\33[D\33[K");
}

void cliVT100TermT::nl() {
    rtext("\r\n");
}

void cliVT100TermT::cup(unsigned n) {
    // The terminal reads a count of 0 as 1.
    if (n > 0)
        rtext("\33[" + std::to_string(n) + "A");
}

std::shared_ptr<cliNullTermT> cliNullTermT::create() {
    return std::make_shared<cliNullTermT>();
}

} // namespace rux
