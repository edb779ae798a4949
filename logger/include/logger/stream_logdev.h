// streamLogDevT: writes each line to a standard output stream with one insert
// and one flush. The stream is borrowed and must outlive the device. Deliveries
// are serialised by the device's own mutex, so streams that are not
// thread-safe themselves (string streams, files) are fine too.
#pragma once

#include <ostream>
#include <string>

#include "logger/logdev.h"
#include "sal/mutex.h"

namespace rux {

class streamLogDevT : public logDevT {
public:
    streamLogDevT(std::string name, std::ostream& os) : logDevT(std::move(name)), _os(os) {}

    void _doLog(const std::string& text, int level) override;

private:
    std::ostream& _os;
    mutexT _mtx; // one line at a time on _os
};

} // namespace rux
