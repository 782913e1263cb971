#pragma once

#include "core/attendedthreadobject.h"
#include "velk/velkmusic.h"

#include <QByteArray>
#include <QHostAddress>
#include <QString>

class QUdpSocket;

// The worker of a device's audio thread: owns the device's audio socket and keeps what the
// device selected for it to play, reporting each change back to the device.
class VelkDeviceObjectThread : public AttendedThreadObject
{
    Q_OBJECT
public:
    VelkDeviceObjectThread(quint16 number, quint32 password, quint8 version, QUdpSocket *socket,
                           QObject *parent = nullptr);

    quint16 localPort() const;

signals:
    void fromDevice(qulonglong id, QByteArray array);
    void endFinishing();
    void resetVelkOutputType(int type, QString index, qint64 block, qulonglong pos);

public slots:
    void run() override { }
    void readyRead();
    void toDevice(qulonglong id, QByteArray array);
    void setRecvFromDevice(bool var) { m_RecvFromDevice = var; }
    void setVelkOutputType(int type, QString index, qint64 block, qulonglong pos);
    void controlMusic(int src, VelkMusic control, QString index);
    void setCodec(uchar codec) { m_Codec = codec; }

private:
    quint16 m_Number;
    quint32 m_Password;
    quint8 m_Version;
    QUdpSocket *m_Socket;
    QHostAddress m_PeerAddress { QHostAddress::AnyIPv4 };
    quint16 m_PeerPort = 0;
    int m_OutputType = 0;
    bool m_RecvFromDevice = false;
    QString m_SourceIndex;
    qint64 m_SourceBlock = 0;
    qulonglong m_SourcePosition = 0;
    uchar m_Codec = 0;
};
