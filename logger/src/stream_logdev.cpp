#include "logger/stream_logdev.h"

namespace rux {

void streamLogDevT::_doLog(const std::string& text, int /*level*/) {
    lockT<mutexT> g(_mtx);
    _os << text;
    _os.flush();
}

} // namespace rux
