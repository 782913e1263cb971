#pragma once

#include <QMetaType>

// State of a SIP socket as the transport worker reports it.
enum SipConnectionState : int {
    SipNotConnected = -1,
    SipLookingUpHost = 0,
    SipHostNotFound = 1,
    SipConnecting = 2,
    SipConnected = 3,
};

Q_DECLARE_METATYPE(SipConnectionState)
