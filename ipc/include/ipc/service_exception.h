// ipcExceptionT: misuse of an IPC service handle.
//
// Thrown only for programming errors (an empty handle, binding a second name,
// using a service that was never bound, pulling messages while a receiver is
// installed, an unusable message); ordinary failures are result codes. Plain
// copyable value.
#pragma once

#include <exception>

namespace rux {

class ipcExceptionT : public std::exception {
public:
    enum codeT {
        enINVALID_PARAM = 0, // "invalid parameter"
        enNO_HANDLE = 1,     // "handle has not been initialized"
        enREBOUND = 2,       // "service has already been bound to a different ipc address"
        enNOT_BOUND = 3,     // "service is not bound to any name"
        enSEQUENCE = 4,      // "wrong sequence of operations"
    };

    explicit ipcExceptionT(int code) : _code(code) {}
    int code() const { return _code; }
    // The code's text; empty for a code above 4.
    const char* what() const noexcept override;

private:
    int _code;
};

} // namespace rux
