// The protocol factory for each protocol version and model that the meter
// driver tells apart during identification. Factories hold no state; the
// result may be shared by any number of devices and threads.
#pragma once

#include <memory>

#include "q7xx/protofactory.h"

enum class q7xxProtoT {
    v1q720, // Q7.20 / Q8.20 with a software version byte below 4
    v2q720, // Q7.20 / Q8.20 from software version 4 on, and Q8.50
    v2q710, // Q8.10
};

// Never empty: the factory of that version and model, shared.
std::shared_ptr<q7xxProtoFactoryT> q7xxProtoFactoryFor(q7xxProtoT which);
