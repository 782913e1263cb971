#include "sip/message/sipstatus.h"

namespace {

struct Entry
{
    int code;
    const char *reason;
};

const Entry kStatus[SipStatus::Count] = {
    { 100, "Trying" },
    { 180, "Ringing" },
    { 181, "Call Is Being Forwarded" },
    { 182, "Queued" },
    { 183, "Session Progress" },
    { 200, "OK" },
    { 202, "Accepted" },
    { 300, "Multiple Choices" },
    { 301, "Moved Permanently" },
    { 302, "Moved Temporarily" },
    { 305, "Use Proxy" },
    { 380, "Alternative Service" },
    { 400, "Bad Request" },
    { 401, "Unauthorized" },
    { 402, "Payment Required" },
    { 403, "Forbidden" },
    { 404, "Not Found" },
    { 405, "Method Not Allowed" },
    { 406, "Not Acceptable" },
    { 407, "Proxy Authentication Required" },
    { 408, "Request Timeout" },
    { 410, "Gone" },
    { 413, "Request Entity Too Large" },
    { 414, "Request-URI Too Long" },
    { 415, "Unsupported Media Type" },
    { 416, "Unsupported URI Scheme" },
    { 420, "Bad Extension" },
    { 421, "Extension Required" },
    { 423, "Interval Too Brief" },
    { 480, "Temporarily Unavailable" },
    { 481, "Call/Transaction Does Not Exist" },
    { 482, "Loop Detected" },
    { 483, "Too Many Hops" },
    { 484, "Address Incomplete" },
    { 485, "Ambiguous" },
    { 486, "Busy Here" },
    { 487, "Request Terminated" },
    { 488, "Not Acceptable Here" },
    { 491, "Request Pending" },
    { 493, "Undecipherable" },
    { 500, "Server Internal Error" },
    { 501, "Not Implemented" },
    { 502, "Bad Gateway" },
    { 503, "Service Unavailable" },
    { 504, "Server Time-out" },
    { 505, "Version Not Supported" },
    { 513, "Message Too Large" },
    { 600, "Busy Everywhere" },
    { 603, "Decline" },
    { 604, "Does Not Exist Anywhere" },
    { 606, "Not Acceptable" },
};

bool known(const SipStatus::Type &status)
{
    return status >= 0 && status < SipStatus::Count;
}

} // namespace

QString statusCodeText(const SipStatus::Type &status)
{
    return known(status) ? QString::number(kStatus[status].code) : QString();
}

QString reasonPhrase(const SipStatus::Type &status)
{
    return known(status) ? QString::fromLatin1(kStatus[status].reason) : QString();
}

SipStatus::Type statusFromCode(const QStringRef &code)
{
    // Every known code is three ASCII digits; anything else cannot equal one of them.
    if (code.size() != 3)
        return SipStatus::Unknown;
    int value = 0;
    for (const QChar c : code) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return SipStatus::Unknown;
        value = value * 10 + (c.unicode() - '0');
    }
    if (value < 100)
        return SipStatus::Unknown;
    for (int i = 0; i < SipStatus::Count; ++i) {
        if (kStatus[i].code == value)
            return SipStatus::Type(i);
    }
    return SipStatus::Unknown;
}

SipStatus::Type statusFromCode(const QString &code)
{
    return statusFromCode(QStringRef(&code));
}

int statusClass(const SipStatus::Type &status)
{
    if (!known(status))
        return -1;
    const int hundreds = kStatus[status].code / 100;
    return hundreds >= 1 && hundreds <= 6 ? hundreds : -1;
}
