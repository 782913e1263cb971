#pragma once

#include <QMetaType>
#include <QString>

// Kinds of text-log lines; the names are what the log file shows.
struct LogParams
{
    enum Type : int {
        Log = 0,
        Service = 1,
        ServiceDebug = 2,
        Core = 3,
        CoreDebug = 4,
        Sip = 5,
        SipDebug = 6,
        Stun = 7,
        StunDebug = 8,
        Rtsp = 9,
        RtspDebug = 10,
        Velk = 11,
        VelkDebug = 12,
        Http = 13,
        HttpDebug = 14,
        Debug = 15,
        Warning = 16,
        System = 17,
        Fatal = 18,
    };

    // Empty for values outside the table.
    static QString name(int type);
    // True for the debug kinds dropped while the "debug" setting is false.
    static bool isFilteredDebug(int type);
};

Q_DECLARE_METATYPE(LogParams::Type)
