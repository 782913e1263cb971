#pragma once

#include <QString>

namespace SipContentType {
enum Type : int {
    Unknown = -1,
    Sdp = 0,
    DtmfRelay,
    Dtmf,
    HookFlash,
    SipFrag,
};
constexpr int Count = 5;
} // namespace SipContentType

QString contentTypeName(const SipContentType::Type &kind);
// The whole text against the five kinds, ignoring case; parameters make it unknown.
SipContentType::Type contentKind(const QString &text);
