#pragma once

#include "common/sound/samplestream.h"
#include "core/attendedthreadobject.h"
#include "velk/velkframeclock.h"
#include "velk/velkmusic.h"

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QTimer>

class QUdpSocket;

// The worker of a device's audio thread: owns the device's audio socket, passes the device's
// 20 ms frames on decoded, and sends the device one frame every 20 ms of what it was told to
// play: the conversation's audio, a prompt, music or a sensor message.
class VelkDeviceObjectThread : public AttendedThreadObject
{
    Q_OBJECT
public:
    static constexpr int kPayloadBytes = 160;
    static constexpr int kMinDatagram = 13 + kPayloadBytes;
    // How often a playing source reports where it stands.
    static constexpr qint64 kPositionReportMs = 5000;

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
    void queryTerminate() override;

private:
    void tick();
    // Arms the timer for the next deadline, or leaves it off while nothing can be sent.
    void schedule();
    // One frame of the output in the device's codec; empty when the output ran out.
    QByteArray nextFrame();
    void reportPosition(const QString &indexBefore);
    void send(const QByteArray &payload);

    quint16 m_Number;
    quint32 m_Password;
    quint8 m_Version;
    QHostAddress m_PeerAddress { QHostAddress::AnyIPv4 };
    quint16 m_PeerPort = 0;
    QUdpSocket *m_Socket;
    QTimer m_Timer;
    SampleStream m_Stream;
    int m_OutputType = 0;
    bool m_RecvFromDevice = false;
    VelkFrameClock m_Clock;
    quint32 m_Counter = 0;
    QString m_SourceIndex;
    qint64 m_SourceBlock = 0;
    qulonglong m_SourcePosition = 0;
    qint64 m_LastPositionReportMs = 0;
    uchar m_Codec = 0;
};
