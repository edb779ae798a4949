// ipcEventT: a connection event handed to a service's event handler when
// another node of the service comes up or goes down. Plain copyable value.
#pragma once

#include <string>

namespace rux {

struct ipcEventT {
    enum typeT { enUP = 0, enDOWN = 1 };

    int type;            // enUP or enDOWN
    std::string service; // service the node belongs to
    std::string node;    // name of the node that came up or went down
};

} // namespace rux
