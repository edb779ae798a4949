// A firmware update the way a client runs it: single steps sent over IPC to
// kivsvc-drv, carried by its bootloader driver to a bootloader of kivsvc-emu.
#include <string>

#include <zlib.h>

#include "drv_system.h"

using namespace drvtest;
using kivsvc::kivmsgT;

namespace {

// Registers and returns the identifier of the device with serial number
// `snum` (its NUL padding cut), or -1.
int deviceId(clientNodeT& c, const std::string& snum, size_t devices) {
    if (!acked(c.call(kivmsgT::registerForDeviceNotif)))
        return -1;
    for (size_t seen = 0; seen < devices;) {
        auto m = c.next();
        if (!m)
            return -1;
        if (m->msg_id() != kivmsgT::reportDevice || !m->has_report_device())
            continue;
        ++seen;
        std::string s = m->report_device().snum();
        s.erase(s.find_last_not_of('\0') + 1);
        if (s == snum)
            return m->dev_id();
    }
    return -1;
}

// Answered with a failure acknowledgement.
bool refused(const std::unique_ptr<kivmsgT>& r) {
    return r && r->msg_id() == kivmsgT::ack && r->has_reply() &&
           r->reply().ack() == kivsvc::replyT::failed;
}

kivmsgT request(kivmsgT::msgIdT id, int dev) {
    kivmsgT m;
    m.set_msg_id(id);
    m.set_dev_id(dev);
    return m;
}

kivmsgT erase(int dev, uint32_t offset, uint32_t len) {
    kivmsgT m = request(kivmsgT::eraseFirmware, dev);
    m.mutable_boot_app_data()->set_offset(offset);
    m.mutable_boot_app_data()->set_len(len);
    return m;
}

kivmsgT block(int dev, uint32_t offset, const std::string& data) {
    kivmsgT m = request(kivmsgT::writeFirmware, dev);
    m.mutable_fw_data()->set_offset(offset);
    m.mutable_fw_data()->set_data(data);
    return m;
}

std::string image(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = char((i * 13 + 5) ^ (i >> 7));
    return s;
}

} // namespace

TEST(kivsvcDrvFirmware, updateStepByStepThroughTheService) {
    systemT sys;
    ASSERT_TRUE(sys.startAll());
    clientNodeT c("client-fw");
    ASSERT_TRUE(c.bound);
    const int boot = deviceId(c, "BL000003", 3);
    ASSERT_GE(boot, 0);

    auto rec = c.call(request(kivmsgT::getBootAppData, boot));
    ASSERT_TRUE(rec);
    EXPECT_EQ(rec->msg_id(), kivmsgT::reportBootAppData);
    EXPECT_TRUE(rec->has_boot_app_data() && rec->boot_app_data().has_code());

    // An erase of no stated length is refused.
    kivmsgT noLen = request(kivmsgT::eraseFirmware, boot);
    noLen.mutable_boot_app_data()->set_offset(0);
    EXPECT_TRUE(refused(c.call(noLen)));

    const std::string img = image(56 * 30 + 20);
    const uint32_t at = 0x800;
    ASSERT_TRUE(acked(c.call(erase(boot, at, uint32_t(img.size())))));
    for (size_t off = 0; off < img.size(); off += 56)
        ASSERT_TRUE(acked(c.call(block(boot, uint32_t(at + off), img.substr(off, 56))))) << off;
    EXPECT_TRUE(refused(c.call(block(boot, at, std::string(57, 'x')))));

    auto crc = c.call(request(kivmsgT::getFirmwareCRC, boot));
    ASSERT_TRUE(crc);
    ASSERT_EQ(crc->msg_id(), kivmsgT::reportFirmwareCRC);
    const uint32_t want =
        uint32_t(::crc32(0L, reinterpret_cast<const Bytef*>(img.data()), uInt(img.size())));
    EXPECT_EQ(crc->boot_app_data().crc32(), want);

    kivmsgT set = request(kivmsgT::setBootAppData, boot);
    auto* app = set.mutable_boot_app_data();
    app->set_magic(0xB0071234);
    app->set_state(1);
    app->set_offset(at);
    app->set_len(uint32_t(img.size()));
    app->set_crc32(want);
    app->set_version(0x00030002);
    app->set_code(0);
    ASSERT_TRUE(acked(c.call(set)));
    rec = c.call(request(kivmsgT::getBootAppData, boot));
    ASSERT_TRUE(rec && rec->has_boot_app_data());
    EXPECT_EQ(rec->boot_app_data().crc32(), want);
    EXPECT_EQ(rec->boot_app_data().version(), 0x00030002u);

    // A bootloader is no meter.
    EXPECT_TRUE(refused(c.call(request(kivmsgT::getConfig, boot))));
}

TEST(kivsvcDrvFirmware, refusalByTheBootloaderReachesTheClientAndTheLog) {
    systemT sys;
    ASSERT_TRUE(sys.startAll());
    clientNodeT c("client-fw2");
    const int boot = deviceId(c, "BL000003", 3);
    ASSERT_GE(boot, 0);
    ASSERT_TRUE(sys.emuCommand("boot fault boot3 fail", "set fail 1"));
    EXPECT_TRUE(refused(c.call(erase(boot, 0, 0x100))));
    EXPECT_TRUE(sys.drv->waitForOutput("command failed from device "));
    // The knob was for one command only.
    EXPECT_TRUE(acked(c.call(erase(boot, 0, 0x100))));
}
