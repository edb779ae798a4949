#include "q7xx/protoselect.h"

#include "q7xx/v1/commands.h"
#include "q7xx/v2/protofactory.h"

std::shared_ptr<q7xxProtoFactoryT> q7xxProtoFactoryFor(q7xxProtoT which) {
    static const std::shared_ptr<q7xxProtoFactoryT> v1q720 =
        std::make_shared<v1::q720ProtoFactoryT>();
    static const std::shared_ptr<q7xxProtoFactoryT> v2q720 =
        std::make_shared<v2::q720ProtoFactoryT>();
    static const std::shared_ptr<q7xxProtoFactoryT> v2q710 =
        std::make_shared<v2::q710ProtoFactoryT>();
    switch (which) {
    case q7xxProtoT::v1q720:
        return v1q720;
    case q7xxProtoT::v2q710:
        return v2q710;
    case q7xxProtoT::v2q720:
    default:
        return v2q720;
    }
}
