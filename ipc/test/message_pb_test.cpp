// The schema's messages travel in IPC payloads through ipcMessageT::ioT.
#include "ipc/message.h"

#include <gtest/gtest.h>

#include "kivsvc_common.h"

using namespace rux;

namespace {

kivsvc::kivmsgT sample() {
    kivsvc::kivmsgT pb;
    pb.set_msg_id(kivsvc::kivmsgT::svcVersionReply);
    pb.set_ivk_id(1234);
    pb.set_dev_id(7);
    pb.set_svc_version(std::string("1.2.3\0tail", 10));
    pb.mutable_reply()->set_ack(kivsvc::replyT::failed);
    return pb;
}

} // namespace

TEST(IpcMessageIoT, RoundTripsASchemaMessage) {
    kivsvc::kivmsgT pb = sample();
    size_t size = pb.ByteSizeLong();
    auto msg = ipcMessageT::create(size, 2);
    ASSERT_TRUE(msg);
    {
        ipcMessageT::ioT io(*msg);
        ASSERT_TRUE(pb.SerializeToOstream(&io));
        io.flush();
    }
    EXPECT_EQ(msg->currSize(), size);

    // The receiving side wraps the whole datagram and parses the payload.
    auto got = ipcMessageT::create(dgramT(msg->_dgram()));
    ASSERT_TRUE(got);
    kivsvc::kivmsgT back;
    ipcMessageT::ioT in(*got);
    ASSERT_TRUE(back.ParseFromIstream(&in));
    EXPECT_EQ(back.SerializeAsString(), pb.SerializeAsString());
    EXPECT_EQ(back.svc_version(), pb.svc_version());
    EXPECT_EQ(back.ivk_id(), 1234);
}

TEST(IpcMessageIoT, TruncatedPayloadDoesNotParse) {
    kivsvc::kivmsgT pb = sample();
    std::string wire = pb.SerializeAsString();
    auto msg = ipcMessageT::create(wire.size(), 2);
    ASSERT_TRUE(msg);
    ASSERT_EQ(msg->write(wire.data(), long(wire.size() - 3)), long(wire.size() - 3));
    ASSERT_EQ(msg->seek(0, enSEEK_SET), 0);
    kivsvc::kivmsgT back;
    ipcMessageT::ioT in(*msg);
    EXPECT_FALSE(back.ParseFromIstream(&in));
}

TEST(IpcMessageIoT, SerialisingIntoTooSmallPayloadFails) {
    kivsvc::kivmsgT pb = sample();
    auto msg = ipcMessageT::create(pb.ByteSizeLong() - 1, 2);
    ASSERT_TRUE(msg);
    ipcMessageT::ioT io(*msg);
    EXPECT_FALSE(pb.SerializeToOstream(&io) && io.flush().good());
}
