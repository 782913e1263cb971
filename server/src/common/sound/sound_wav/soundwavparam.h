#pragma once

#include <QMetaType>

// The eleven prompts by their fixed sound ids; conversations pass these in queued signals.
struct SoundWavParam
{
    enum Type : int {
        None = -1,
        ConnectionError = 0,
        OutgoingCall = 1,
        IncomingCall = 2,
        ConnectCall = 3,
        Hold = 4,
        NotAvailable = 5,
        Busy = 6,
        Error = 7,
        InfoError = 8,
        InfoAccept = 9,
        DoorOpen = 10,
    };
    static constexpr int Count = 11;
};

Q_DECLARE_METATYPE(SoundWavParam::Type)
