#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

// An SDP example of the data/sdp folder, its LF line ends turned into CR LF.
inline QByteArray sdpExample(const QString &name)
{
    QFile file(QStringLiteral(TARNHALL_SOURCE_DIR_TESTS "/data/sdp/%1.sdp").arg(name));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    QByteArray text = file.readAll();
    text.replace("\n", "\r\n");
    return text;
}
