#pragma once

#include <QString>

namespace SipMethod {
enum Type : int {
    Unknown = -1,
    Invite = 0,
    Ack,
    Bye,
    Cancel,
    Register,
    Options,
    Info,
    Message,
    Prack,
    Notify,
    Publish,
    Subscribe,
    Refer,
    Update,
};
constexpr int Count = 14;
} // namespace SipMethod

QString methodName(const SipMethod::Type &method);
SipMethod::Type methodType(const QString &name);
SipMethod::Type methodType(const QStringRef &name);
// Whether ALLOW names the method.
bool isMethodAllowed(const SipMethod::Type &method);
