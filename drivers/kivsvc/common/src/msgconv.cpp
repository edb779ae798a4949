#include "msgconv.h"

std::unique_ptr<kivsvc::kivmsgT> msg_ipc2pb(std::unique_ptr<rux::ipcMessageT>& msg) {
    if (!msg)
        return nullptr;
    // Parsing from the payload bytes reads all of it whatever the position, and
    // leaves the message untouched.
    auto pb = std::make_unique<kivsvc::kivmsgT>();
    if (!pb->ParseFromArray(msg->buf(), int(msg->currSize())))
        return nullptr;
    return pb;
}

std::unique_ptr<rux::ipcMessageT> msg_pb2ipc(std::unique_ptr<kivsvc::kivmsgT>& pb,
                                             std::unique_ptr<rux::ipcMessageT>* request) {
    if (!pb)
        return nullptr;
    size_t size = pb->ByteSizeLong();
    if (size == 0 || size > rux::ipcMessageT::maxPayload)
        return nullptr;
    std::unique_ptr<rux::ipcMessageT> msg;
    if (request && *request)
        msg = (*request)->reply(size);
    else
        msg = rux::ipcMessageT::create(size, 2);
    if (!msg)
        return nullptr;
    pb->SerializeWithCachedSizesToArray(reinterpret_cast<uint8_t*>(msg->buf()));
    msg->setSize(size);
    return msg;
}
