#pragma once

#include <QMetaType>

namespace SipTransport {
enum Type : int {
    Unset = -1,
    UDP = 1,
    TCP = 2,
};
} // namespace SipTransport

Q_DECLARE_METATYPE(SipTransport::Type)
