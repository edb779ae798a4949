#include "q7xx/protoselect.h"

std::shared_ptr<q7xxProtoFactoryT> q7xxProtoFactoryFor(q7xxProtoT) {
    static const auto base = std::make_shared<q7xxProtoFactoryT>();
    return base;
}
