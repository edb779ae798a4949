#include "kivsvc_common.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using kivsvc::kivmsgT;

std::string bytes(std::initializer_list<unsigned> b) {
    std::string s;
    for (unsigned c : b)
        s.push_back(static_cast<char>(c));
    return s;
}

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> w;
    for (std::string s; in >> s;)
        w.push_back(s);
    return w;
}

// A request in which every required field at every depth is present.
kivmsgT completeMessage() {
    kivmsgT m;
    m.set_msg_id(kivmsgT::setConfig);
    m.mutable_report_device()->set_event(kivsvc::reportDeviceT::attached);
    m.mutable_cmd()->set_cmd(kivsvc::commandT::hwReset);
    m.mutable_reply()->set_ack(kivsvc::replyT::failed);
    kivsvc::ccoeffT* c =
        m.mutable_config()->mutable_q7xx()->mutable_custom_fwd_ccurve()->add_diam()->add_coeff();
    c->set_t(1);
    c->set_m(2);
    c->set_q(3);
    *m.mutable_config()->mutable_q7xx()->mutable_custom_rev_ccurve() =
        m.config().q7xx().custom_fwd_ccurve();
    kivsvc::rassT* r = m.mutable_rass();
    r->set_id(kivsvc::rassT::request);
    kivsvc::rassRequestT* q = r->mutable_rreq();
    q->set_company("c");
    q->set_country("it");
    q->set_email("e@x");
    q->set_ui_version("1");
    kivsvc::rassOfferT* o = r->mutable_roffer();
    o->set_nick("n");
    o->set_name("a");
    o->set_surname("b");
    o->set_ui_version("2");
    r->mutable_rstatus()->set_status(kivsvc::rassStatusT::waiting);
    r->mutable_rchat()->set_text("hi");
    r->mutable_rterm()->set_ipc_name("ui");
    m.mutable_fw_data()->set_offset(0);
    m.mutable_fw_data()->set_data(std::string(4, '\0'));
    return m;
}

TEST(kivmsgT, SvcVersionRequestAloneIsTwoBytes) {
    kivmsgT m;
    m.set_msg_id(kivmsgT::getSvcVersion);
    EXPECT_EQ(m.ByteSizeLong(), 2u);
    EXPECT_EQ(m.SerializeAsString(), bytes({0x08, 0x0B}));

    kivmsgT back;
    ASSERT_TRUE(back.ParseFromString(bytes({0x08, 0x0B})));
    EXPECT_EQ(back.msg_id(), kivmsgT::getSvcVersion);
    EXPECT_EQ(back.DebugString(), "msg_id: getSvcVersion\n");
}

TEST(kivmsgT, FieldsUseTheirNumbersAndWireTypes) {
    kivmsgT m;
    m.set_msg_id(kivmsgT::svcVersionReply);
    m.set_ivk_id(-1); // set explicitly: present although equal to the default
    m.set_dev_id(3);
    m.set_svc_version("1.4.3.14");
    EXPECT_EQ(m.SerializeAsString(), bytes({0x08, 0x0C, 0x10, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                            0xFF, 0xFF, 0xFF, 0x01, 0x18, 0x03, 0x52, 0x08}) +
                                         "1.4.3.14");

    kivmsgT c;
    c.set_msg_id(kivmsgT::setConfig);
    c.mutable_config()->set_persistent(true);
    kivsvc::q7xxConfigT* q = c.mutable_config()->mutable_q7xx();
    q->set_flow_scale(50);
    q->set_sensor_type(kivsvc::q7xxConfigT::sensorType_other);
    // config(7) { persistent(1)=1, q7xx(2) { flow_scale(17) fixed32, sensor_type(46) varint } }
    EXPECT_EQ(c.SerializeAsString(), bytes({0x08, 0x05, 0x3A, 0x0D, 0x08, 0x01, 0x12, 0x09, 0x8D,
                                            0x01, 0x00, 0x00, 0x48, 0x42, 0xF0, 0x02, 0x03}));

    kivmsgT f;
    f.set_msg_id(kivmsgT::writeFirmware);
    f.mutable_fw_data()->set_offset(300);
    f.mutable_fw_data()->set_data("\x01\x02");
    EXPECT_EQ(f.SerializeAsString(),
              bytes({0x08, 0x14, 0x6A, 0x07, 0x08, 0xAC, 0x02, 0x12, 0x02, 0x01, 0x02}));
}

TEST(kivmsgT, AbsentFieldsReadTheirDefaults) {
    kivmsgT m;
    ASSERT_TRUE(m.ParseFromString(bytes({0x08, 0x06})));
    EXPECT_FALSE(m.has_ivk_id());
    EXPECT_EQ(m.ivk_id(), -1);
    EXPECT_FALSE(m.has_dev_id());
    EXPECT_EQ(m.dev_id(), -1);
    EXPECT_FALSE(m.has_config());
    EXPECT_FALSE(m.config().persistent());
    EXPECT_EQ(m.rass().session_id(), -1);

    const kivsvc::q7xxConfigT& q = m.config().q7xx();
    EXPECT_FLOAT_EQ(q.flow_scale(), 50.0f);
    EXPECT_EQ(q.cutoff_delay(), 5000u);
    EXPECT_FLOAT_EQ(q.simu_current_output(), 4.0f);
    EXPECT_FLOAT_EQ(q.factory_sens_gain(), 1.0f);
    EXPECT_EQ(q.sensor_type(), kivsvc::q7xxConfigT::sensorType_q700);
    EXPECT_EQ(q.gain_strength_mode(), kivsvc::q7xxConfigT::gainStrMode_normal);
    EXPECT_EQ(q.simu_freq_output(), 0u);
    EXPECT_FALSE(q.simu_freq_enabled() || q.simu_current_enabled() || q.simu_digiout_enabled() ||
                 q.simu_direction_enabled() || q.simu_digital_output() || q.reset_volume());
    // Enumerations without a declared default read their first value.
    EXPECT_EQ(q.hardware_config(), kivsvc::LOCKED);
    EXPECT_EQ(q.mfilter_width(), kivsvc::q7xxConfigT::fd_4);
    EXPECT_EQ(q.mfilter_sens(), kivsvc::q7xxConfigT::fs_1);

    // Defaults are not sent.
    kivsvc::q7xxConfigT empty;
    EXPECT_EQ(empty.ByteSizeLong(), 0u);
}

TEST(kivmsgT, MissingRequiredFieldFailsToParseAtAnyDepth) {
    const kivmsgT full = completeMessage();
    ASSERT_TRUE(full.IsInitialized());
    kivmsgT back;
    ASSERT_TRUE(back.ParseFromString(full.SerializeAsString()));

    using cutT = std::function<void(kivmsgT&)>;
    const std::vector<std::pair<const char*, cutT>> cuts = {
        {"msg_id", [](kivmsgT& m) { m.clear_msg_id(); }},
        {"report_device.event", [](kivmsgT& m) { m.mutable_report_device()->clear_event(); }},
        {"cmd.cmd", [](kivmsgT& m) { m.mutable_cmd()->clear_cmd(); }},
        {"reply.ack", [](kivmsgT& m) { m.mutable_reply()->clear_ack(); }},
        {"ccoeff.q",
         [](kivmsgT& m) {
             m.mutable_config()
                 ->mutable_q7xx()
                 ->mutable_custom_fwd_ccurve()
                 ->mutable_diam(0)
                 ->mutable_coeff(0)
                 ->clear_q();
         }},
        {"ccoeff.t",
         [](kivmsgT& m) {
             m.mutable_config()
                 ->mutable_q7xx()
                 ->mutable_custom_rev_ccurve()
                 ->mutable_diam(0)
                 ->mutable_coeff(0)
                 ->clear_t();
         }},
        {"rass.id", [](kivmsgT& m) { m.mutable_rass()->clear_id(); }},
        {"rreq.company", [](kivmsgT& m) { m.mutable_rass()->mutable_rreq()->clear_company(); }},
        {"rreq.country", [](kivmsgT& m) { m.mutable_rass()->mutable_rreq()->clear_country(); }},
        {"rreq.email", [](kivmsgT& m) { m.mutable_rass()->mutable_rreq()->clear_email(); }},
        {"rreq.ui_version",
         [](kivmsgT& m) { m.mutable_rass()->mutable_rreq()->clear_ui_version(); }},
        {"roffer.nick", [](kivmsgT& m) { m.mutable_rass()->mutable_roffer()->clear_nick(); }},
        {"roffer.name", [](kivmsgT& m) { m.mutable_rass()->mutable_roffer()->clear_name(); }},
        {"roffer.surname", [](kivmsgT& m) { m.mutable_rass()->mutable_roffer()->clear_surname(); }},
        {"roffer.ui_version",
         [](kivmsgT& m) { m.mutable_rass()->mutable_roffer()->clear_ui_version(); }},
        {"rstatus.status", [](kivmsgT& m) { m.mutable_rass()->mutable_rstatus()->clear_status(); }},
        {"rchat.text", [](kivmsgT& m) { m.mutable_rass()->mutable_rchat()->clear_text(); }},
        {"rterm.ipc_name", [](kivmsgT& m) { m.mutable_rass()->mutable_rterm()->clear_ipc_name(); }},
        {"fw_data.offset", [](kivmsgT& m) { m.mutable_fw_data()->clear_offset(); }},
        {"fw_data.data", [](kivmsgT& m) { m.mutable_fw_data()->clear_data(); }},
    };
    for (const auto& cut : cuts) {
        kivmsgT m = full;
        cut.second(m);
        const std::string wire = m.SerializePartialAsString();
        kivmsgT p;
        EXPECT_FALSE(p.ParseFromString(wire)) << cut.first;
        EXPECT_TRUE(p.ParsePartialFromString(wire)) << cut.first;
    }

    // Hand-made encodings: nothing at all, ivk_id alone, an empty command.
    EXPECT_FALSE(back.ParseFromString(std::string()));
    EXPECT_FALSE(back.ParseFromString(bytes({0x10, 0x05})));
    EXPECT_FALSE(back.ParseFromString(bytes({0x08, 0x03, 0x2A, 0x00})));
    // A truncated payload is an invalid encoding.
    EXPECT_FALSE(back.ParseFromString(bytes({0x08, 0x14, 0x6A, 0x07, 0x08, 0x00})));
}

TEST(kivmsgT, UnknownEnumerationValueIsKeptAsUnknownField) {
    // report_device { event: attached, model: 99 }
    const std::string wire = bytes({0x08, 0x02, 0x22, 0x04, 0x08, 0x00, 0x10, 0x63});
    kivmsgT m;
    ASSERT_TRUE(m.ParseFromString(wire));
    EXPECT_FALSE(m.report_device().has_model());
    EXPECT_EQ(m.report_device().model(), kivsvc::reportDeviceT::unknown);
    const auto& unknown = m.report_device().GetReflection()->GetUnknownFields(m.report_device());
    ASSERT_EQ(unknown.field_count(), 1);
    EXPECT_EQ(unknown.field(0).number(), 2);
    EXPECT_EQ(unknown.field(0).varint(), 99u);
    EXPECT_EQ(m.SerializeAsString(), wire); // passed on unchanged

    // out_type 1 falls in the gap of its enumeration; sensor_type 7 is past its end.
    kivmsgT c;
    ASSERT_TRUE(c.ParseFromString(
        bytes({0x08, 0x05, 0x3A, 0x08, 0x12, 0x06, 0xD0, 0x01, 0x01, 0xF0, 0x02, 0x07})));
    EXPECT_FALSE(c.config().q7xx().has_out_type());
    EXPECT_FALSE(c.config().q7xx().has_sensor_type());
    EXPECT_EQ(c.config().q7xx().sensor_type(), kivsvc::q7xxConfigT::sensorType_q700);

    // In a repeated field only the known values are listed.
    kivmsgT r;
    ASSERT_TRUE(r.ParseFromString(
        bytes({0x08, 0x0A, 0x4A, 0x16, 0x08, 0x00, 0x1A, 0x12, 0x10, 0x01, 0x10, 0x63, 0x10,
               0x02, 0x1A, 0x01, 'c',  0x22, 0x01, 'i',  0x2A, 0x01, 'e',  0x5A, 0x01, '1'})));
    ASSERT_EQ(r.rass().rreq().models_size(), 2);
    EXPECT_EQ(r.rass().rreq().models(1), kivsvc::reportDeviceT::Q710);

    // The gaps that make such values possible.
    EXPECT_FALSE(kivsvc::q7xxConfigT::outputTypeT_IsValid(1));
    EXPECT_FALSE(kivsvc::q7xxConfigT::mfilterDimT_IsValid(5));
    EXPECT_FALSE(kivsvc::hwCfgT_IsValid(18));
    EXPECT_TRUE(kivsvc::hwCfgT_IsValid(255));

    // A required enumeration with an unknown value counts as missing.
    EXPECT_FALSE(m.ParseFromString(bytes({0x08, 0x63})));
    EXPECT_FALSE(m.ParseFromString(bytes({0x08, 0x04, 0x32, 0x02, 0x08, 0x02})));
}

TEST(kivmsgT, SchemaDeclaresItsTypesInOrder) {
    const google::protobuf::FileDescriptor* f = kivmsgT::descriptor()->file();
    EXPECT_EQ(f->name(), "messages.proto");
    EXPECT_EQ(f->package(), "kivsvc");
    EXPECT_EQ(f->dependency_count(), 0);
    const auto messages = words("kivmsgT replyT reportDeviceT commandT ccoeffT compCurveT "
                                "q7xxMeasureT measureT q7xxConfigT configT statusT rassT "
                                "rassRequestT rassOfferT rassStatusT rassChatT rassTermT fwBlockT "
                                "bootAppDataT");
    ASSERT_EQ(f->message_type_count(), static_cast<int>(messages.size()));
    for (int i = 0; i < f->message_type_count(); ++i)
        EXPECT_EQ(f->message_type(i)->name(), messages[i]);
    const auto enums = words("hwCfgT compCurveIdT flowDirT volUnitT flowUnitT dirModeT");
    ASSERT_EQ(f->enum_type_count(), static_cast<int>(enums.size()));
    for (int i = 0; i < f->enum_type_count(); ++i)
        EXPECT_EQ(f->enum_type(i)->name(), enums[i]);
}

} // namespace
