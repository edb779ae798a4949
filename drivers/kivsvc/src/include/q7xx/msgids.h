// Report and message identifiers of every q7xx meter message.
//
// Report id 1 carries settings written to the meter, 2 requests, 3 resets and
// 4 every reply. Where a message has a flag (read the saved configuration,
// store persistently) the flag selects message id 3 instead of 2.
// Plain constants; usable from any thread.
#pragma once

struct q7xxMsgIdT {
    unsigned char rid; // report id, frame byte 0
    unsigned char mid; // message id, frame byte 1
};

constexpr bool operator==(q7xxMsgIdT a, q7xxMsgIdT b) {
    return a.rid == b.rid && a.mid == b.mid;
}
constexpr bool operator!=(q7xxMsgIdT a, q7xxMsgIdT b) {
    return !(a == b);
}

namespace q7xxMsgId {

// Report ids.
constexpr unsigned char ridSettings = 1;
constexpr unsigned char ridRequest = 2;
constexpr unsigned char ridReset = 3;
constexpr unsigned char ridReply = 4;

// Messages that do not depend on the protocol version.
constexpr q7xxMsgIdT IDREQ{ridRequest, 1};
constexpr q7xxMsgIdT IDREPLY{ridReply, 1};
constexpr q7xxMsgIdT SNUMREQ{ridRequest, 3};
constexpr q7xxMsgIdT SNUMREPLY{ridReply, 3};
constexpr q7xxMsgIdT SWRESET{ridReset, 1};
constexpr q7xxMsgIdT HWRESET{ridReset, 2};
constexpr q7xxMsgIdT CFGRESET{ridSettings, 5};

// Configuration, both protocol versions; the flag picks message id 3.
constexpr unsigned char flagMid(bool flag) {
    return flag ? 3 : 2;
}
constexpr q7xxMsgIdT GETCFG(bool saved) {
    return {ridRequest, flagMid(saved)};
}
constexpr q7xxMsgIdT SETCFG(bool persistent) {
    return {ridSettings, flagMid(persistent)};
}
constexpr q7xxMsgIdT CONFIGREPLY(bool saved) {
    return {ridReply, flagMid(saved)};
}

// Hardware settings, both protocol versions.
constexpr q7xxMsgIdT GETHWSETTINGS{ridRequest, 6};
constexpr q7xxMsgIdT HWSETTINGSREPLY{ridReply, 6};

// Second protocol version only.
constexpr q7xxMsgIdT GETCOOKIE{ridRequest, 7};
constexpr q7xxMsgIdT SETCOOKIE{ridSettings, 7};
constexpr q7xxMsgIdT COOKIEREPLY{ridReply, 7};
constexpr q7xxMsgIdT GETEXTDCFG{ridRequest, 8};
constexpr q7xxMsgIdT SETEXTDCFG{ridSettings, 8};
constexpr q7xxMsgIdT EXTDCFGREPLY{ridReply, 8};
constexpr q7xxMsgIdT GETMEASURE{ridRequest, 9};
constexpr q7xxMsgIdT GETMEASUREREPLY{ridReply, 9};

} // namespace q7xxMsgId
