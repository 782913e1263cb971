#pragma once

#include <QMetaType>

// How a DTMF digit reached a conversation; a leg receives digits only of the kind that first
// reached it.
struct DtmfType
{
    enum Type : int {
        None = -1,
        SipInfo = 0, // SIP INFO body or a door-device key
        Rfc2833 = 1, // RTP telephone event
    };
};

Q_DECLARE_METATYPE(DtmfType::Type)
