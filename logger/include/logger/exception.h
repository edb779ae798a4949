// logExceptionT: thrown for misuse of the logger (an unbound handle, an empty
// device). Plain value type.
#pragma once

#include <exception>

namespace rux {

class logExceptionT : public std::exception {
public:
    enum codeT { enINVALID_PARAM = 0, enNOT_INITIALIZED = 1, enIO_ERROR = 2 };

    explicit logExceptionT(int code) noexcept : _code(code) {}

    int code() const noexcept { return _code; }
    // "invalid parameter", "handle has not been initialized", "device I/o error";
    // an empty text for any other code.
    const char* excp2str() const noexcept;
    const char* what() const noexcept override { return excp2str(); }

private:
    int _code;
};

} // namespace rux
