#pragma once

#include <QString>

namespace SipHeader {
// Keys of every SIP header table; -1 collects the headers this table does not name.
enum Type : int {
    Unknown = -1,
    Accept = 0,
    AcceptEncoding,
    AcceptLanguage,
    AlertInfo,
    Allow,
    AuthenticationInfo,
    Authorization,
    CSeq,
    CallID,
    CallInfo,
    Contact,
    ContentDisposition,
    ContentEncoding,
    ContentLanguage,
    ContentLength,
    ContentType,
    Date,
    Diversion,
    ErrorInfo,
    Expires,
    Event,
    From,
    InReplyTo,
    MIMEVersion,
    MaxForwards,
    MinExpires,
    MinSE,
    Organization,
    Priority,
    ProxyAuthenticate,
    ProxyAuthorization,
    ProxyRequire,
    ProxyRoute,
    RecordRoute,
    ReferTo,
    ReplyTo,
    Require,
    RetryAfter,
    Route,
    Server,
    SessionExpires,
    Subject,
    SubscriptionState,
    Supported,
    Timestamp,
    To,
    Unsupported,
    UserAgent,
    Via,
    WWWAuthenticate,
    Warning,
};
constexpr int Count = 51;
} // namespace SipHeader

QString headerName(const SipHeader::Type &type);
// Full names first, then the compact forms; case-insensitive.
SipHeader::Type headerType(const QString &name);
SipHeader::Type headerType(const QStringRef &name);
