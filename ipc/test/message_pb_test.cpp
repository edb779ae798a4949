// Schema messages travel in IPC payloads through ipcMessageT::ioT.
#include "ipc/message.h"

#include <gtest/gtest.h>

#include "kivsvc_common.h"

using namespace rux;

TEST(IpcMessageIoT, RoundTripsASchemaMessage) {
    kivsvc::kivmsgT pb;
    pb.set_msg_id(kivsvc::kivmsgT::svcVersionReply);
    pb.set_ivk_id(1234);
    pb.set_svc_version(std::string("1.2.3\0tail", 10));
    pb.mutable_reply()->set_ack(kivsvc::replyT::failed);
    size_t size = pb.ByteSizeLong();

    auto msg = ipcMessageT::create(size, 2);
    ASSERT_TRUE(msg);
    ipcMessageT::ioT out(*msg);
    ASSERT_TRUE(pb.SerializeToOstream(&out));
    EXPECT_EQ(msg->currSize(), size);

    // The receiver wraps the whole datagram and parses the payload.
    auto got = ipcMessageT::create(dgramT(msg->_dgram()));
    ASSERT_TRUE(got);
    kivsvc::kivmsgT back;
    ipcMessageT::ioT in(*got);
    ASSERT_TRUE(back.ParseFromIstream(&in));
    EXPECT_EQ(back.SerializeAsString(), pb.SerializeAsString());

    // A payload cut short does not parse; one too small does not take the message.
    ASSERT_TRUE(got->setSize(size - 3));
    ASSERT_EQ(got->seek(0, enSEEK_SET), 0);
    ipcMessageT::ioT cut(*got);
    EXPECT_FALSE(back.ParseFromIstream(&cut));
    auto small = ipcMessageT::create(size - 1, 2);
    ipcMessageT::ioT tooSmall(*small);
    EXPECT_FALSE(pb.SerializeToOstream(&tooSmall) && tooSmall.flush().good());
}
