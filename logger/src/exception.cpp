#include "logger/exception.h"

namespace rux {

const char* logExceptionT::excp2str() const noexcept {
    switch (_code) {
    case enINVALID_PARAM:
        return "invalid parameter";
    case enNOT_INITIALIZED:
        return "handle has not been initialized";
    case enIO_ERROR:
        return "device I/o error";
    default:
        return "";
    }
}

} // namespace rux
