#pragma once

#include <QMetaType>

// State of the web listener as the worker reports it.
enum HttpConnectionState : int {
    HttpNotRunning = -1,
    HttpResolving = 0,
    HttpUnresolved = 1,
    HttpBinding = 2,
    HttpListening = 3,
};

Q_DECLARE_METATYPE(HttpConnectionState)
