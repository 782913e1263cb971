#pragma once

#include "sip/message/kbaserequesturi.h"
#include "sip/message/sipmethod.h"
#include "sip/message/sipstatus.h"

#include <QString>

// The first line of a SIP message: kind 0 request (method, request URI), 1 response (status,
// reason), -1 none.
struct SipStartLine
{
    int kind = -1;
    QString version;
    SipMethod::Type method = SipMethod::Unknown;
    KBaseRequestUri<1> requestUri;
    SipStatus::Type status = SipStatus::Unknown;
    QString reason;
};
