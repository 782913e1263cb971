#pragma once

#include "core/attendedthread.h"
#include "velk/velkconnectionstate.h"

#include <QAbstractSocket>
#include <QHostAddress>
#include <QSettings>

// Indexes of the keys of the "velk" group of the main settings, in group order.
namespace VelkKey {
enum Index : int {
    BindAddress,
    BindPort,
    PortRangeStart,
    PortRangeStop,
    DialplanRelay1On,
    DialplanRelay1Off,
    DialplanRelay2On,
    DialplanRelay2Off,
    DialplanRelay3On,
    DialplanRelay3Off,
    DialplanSpeakerUp,
    DialplanSpeakerDown,
    DialplanMicrophoneUp,
    DialplanMicrophoneDown,
    DialplanMusic,
    DialplanMusicBegin,
    DialplanMusicPrev,
    DialplanMusicNext,
    LogProtocol,
    Count
};
} // namespace VelkKey

// The door-device module. Lives in the core thread; its worker VelkObject runs the control socket
// in the module's thread, and the two exchange only datagrams and the socket state.
class Velk : public AttendedThread
{
    Q_OBJECT
public:
    explicit Velk(QObject *parent = nullptr);

    void init() override;
    void deinit() override;

    // The "velk" key of an index; empty outside 0..18.
    static QString keyName(int index);
    static QVariant defaultValue(int index);
    // First key equal to the name ignoring case; -1 for none.
    static int keyIndex(const QString &name);

    QString stringValue(int index) const;
    ushort ushortValue(int index) const;
    bool boolValue(int index) const;
    void setSetting(int index, const QVariant &value);
    void setDefaultSetting(int index, const QVariant &value);
    void writeDefaults();

    VelkConnectionState connectionState() const { return m_ConnectionState; }
    QString errorString() const { return m_ErrorString; }

signals:
    void sendDatagram(QHostAddress receiverAddr, ushort receiverPort, QByteArray datagram);
    void unloadDevices();

public slots:
    void checkDatagram(QHostAddress senderAddr, ushort senderPort, QByteArray datagram);
    void setConnectionState(VelkConnectionState state,
                            QAbstractSocket::SocketError error
                            = QAbstractSocket::UnknownSocketError,
                            const QString &errorString = QString());

private:
    QVariant setting(int index) const;

    // A child, so it moves into the core thread with the module that uses it.
    QSettings m_Devices;
    VelkConnectionState m_ConnectionState = VelkNotRunning;
    int m_SocketError = -1;
    QString m_ErrorString;
};
