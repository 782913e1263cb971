#pragma once

#include <QMetaType>

// State of the control socket as the worker reports it.
enum VelkConnectionState : int {
    VelkNotRunning = -1,
    VelkSocketCreated = 0,
    VelkLookupFailed = 1,
    VelkBinding = 2,
    VelkListening = 3,
};

Q_DECLARE_METATYPE(VelkConnectionState)
