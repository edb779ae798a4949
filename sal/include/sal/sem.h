// semT: counting semaphore. Thread-safe.
#pragma once

#include <semaphore.h>

#include "sal/time.h"

namespace rux {

class semT {
public:
    static constexpr unsigned maxCount = 2147483647;

    explicit semT(unsigned initial = 0);
    ~semT();
    semT(const semT&) = delete;
    semT& operator=(const semT&) = delete;

    void post();
    void wait();
    // Takes one unit if one is available now.
    bool trywait();
    // Takes one unit, waiting at most `timeout`; false on time-out.
    bool wait(const timeT& timeout);

private:
    sem_t _sem;
};

} // namespace rux
