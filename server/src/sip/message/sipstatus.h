#pragma once

#include <QString>

namespace SipStatus {
// Index into the table of known status codes, in ascending code order.
enum Type : int {
    Unknown = -1,
    Trying = 0,
    Ringing,
    CallIsBeingForwarded,
    Queued,
    SessionProgress,
    OK,
    Accepted,
    MultipleChoices,
    MovedPermanently,
    MovedTemporarily,
    UseProxy,
    AlternativeService,
    BadRequest,
    Unauthorized,
    PaymentRequired,
    Forbidden,
    NotFound,
    MethodNotAllowed,
    NotAcceptable,
    ProxyAuthenticationRequired,
    RequestTimeout,
    Gone,
    RequestEntityTooLarge,
    RequestUriTooLong,
    UnsupportedMediaType,
    UnsupportedUriScheme,
    BadExtension,
    ExtensionRequired,
    IntervalTooBrief,
    TemporarilyUnavailable,
    CallTransactionDoesNotExist,
    LoopDetected,
    TooManyHops,
    AddressIncomplete,
    Ambiguous,
    BusyHere,
    RequestTerminated,
    NotAcceptableHere,
    RequestPending,
    Undecipherable,
    ServerInternalError,
    NotImplemented,
    BadGateway,
    ServiceUnavailable,
    ServerTimeout,
    VersionNotSupported,
    MessageTooLarge,
    BusyEverywhere,
    Decline,
    DoesNotExistAnywhere,
    NotAcceptableAnywhere,
};
constexpr int Count = 51;
} // namespace SipStatus

QString statusCodeText(const SipStatus::Type &status);
QString reasonPhrase(const SipStatus::Type &status);
// Exact code text only: no trimming, no leading zeros.
SipStatus::Type statusFromCode(const QString &code);
SipStatus::Type statusFromCode(const QStringRef &code);
// The hundreds digit (1 to 6), -1 for an unknown status.
int statusClass(const SipStatus::Type &status);
