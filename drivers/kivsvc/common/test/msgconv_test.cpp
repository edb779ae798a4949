#include "msgconv.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using kivsvc::kivmsgT;
using rux::ipcMessageT;

std::unique_ptr<kivmsgT> sample() {
    auto pb = std::make_unique<kivmsgT>();
    pb->set_msg_id(kivmsgT::reportDevice);
    pb->set_dev_id(7);
    pb->mutable_report_device()->set_event(kivsvc::reportDeviceT::attached);
    pb->mutable_report_device()->set_snum(std::string("S\0N", 3));
    return pb;
}

std::string payload(const ipcMessageT& m) {
    return std::string(m.buf(), m.currSize());
}

TEST(MsgPb2Ipc, EncodesExactlyIntoAPriorityTwoMessage) {
    auto pb = sample();
    std::string wire = pb->SerializeAsString();
    auto msg = msg_pb2ipc(pb, nullptr);
    ASSERT_TRUE(msg);
    EXPECT_EQ(payload(*msg), wire);
    EXPECT_EQ(msg->currSize(), wire.size());
    EXPECT_EQ(unsigned(msg->priority()), 2u);
    EXPECT_FALSE(msg->_header().reply);
    EXPECT_EQ(pb->SerializeAsString(), wire); // the client message is left alone
}

TEST(MsgPb2Ipc, AnswersTheGivenRequest) {
    auto request = ipcMessageT::create(4, 0);
    rux::impl::ipcHeaderT h = request->_header();
    h.ivkId = 4711;
    h.syncFwd = true;
    request->_header(h);

    auto pb = sample();
    auto reply = msg_pb2ipc(pb, &request);
    ASSERT_TRUE(reply);
    rux::impl::ipcHeaderT r = reply->_header();
    EXPECT_TRUE(r.reply);
    EXPECT_EQ(r.ivkId, 4711u);
    EXPECT_TRUE(r.syncFwd);
    EXPECT_EQ(payload(*reply), pb->SerializeAsString());
    EXPECT_TRUE(request); // the request is not taken

    // An empty request pointer counts as no request.
    std::unique_ptr<ipcMessageT> none;
    auto plain = msg_pb2ipc(pb, &none);
    ASSERT_TRUE(plain);
    EXPECT_FALSE(plain->_header().reply);
}

TEST(MsgPb2Ipc, NothingToEncodeGivesNoMessage) {
    auto empty = std::make_unique<kivmsgT>();
    EXPECT_FALSE(msg_pb2ipc(empty, nullptr));
    std::unique_ptr<kivmsgT> none;
    EXPECT_FALSE(msg_pb2ipc(none, nullptr));
}

TEST(MsgIpc2Pb, DecodesTheWholePayloadWhateverThePosition) {
    auto pb = sample();
    auto msg = msg_pb2ipc(pb, nullptr);
    ASSERT_TRUE(msg);
    ASSERT_EQ(msg->seek(3, rux::enSEEK_SET), 3);
    std::string before = payload(*msg);

    auto back = msg_ipc2pb(msg);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->SerializeAsString(), pb->SerializeAsString());
    // Not consumed: same bytes, same position.
    EXPECT_EQ(payload(*msg), before);
    EXPECT_EQ(msg->seek(0, rux::enSEEK_CUR), 3);
    EXPECT_TRUE(msg_ipc2pb(msg));
}

TEST(MsgIpc2Pb, RefusesWhatIsNotACompleteClientMessage) {
    auto check = [](const std::string& bytes) {
        auto msg = ipcMessageT::create(bytes.size(), 2);
        std::memcpy(msg->buf(), bytes.data(), bytes.size());
        msg->setSize(bytes.size());
        return bool(msg_ipc2pb(msg));
    };
    EXPECT_FALSE(check(""));                                 // msg_id missing
    EXPECT_FALSE(check(std::string("\x10\x01", 2)));         // only ivk_id
    EXPECT_FALSE(check(std::string("\x08", 1)));             // cut inside a field
    EXPECT_FALSE(check(std::string("\x08\x0b\x2a\x00", 4))); // commandT without cmd
    EXPECT_TRUE(check(std::string("\x08\x0b", 2)));

    std::unique_ptr<ipcMessageT> none;
    EXPECT_FALSE(msg_ipc2pb(none));
}

} // namespace
