#pragma once

#include "core/attendedthread.h"
#include "velk/velkconnectionstate.h"

#include <QAbstractSocket>
#include <QHostAddress>
#include <QMap>
#include <QSettings>

class VelkDevice;
class VelkSipServices;

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
    int socketError() const { return m_SocketError; }
    QString errorString() const { return m_ErrorString; }
    QString displayAddress() const { return m_DisplayAddress; }
    quint16 displayPort() const { return m_DisplayPort; }

    // The SIP engine's side of the devices; none until the engine hands itself over.
    void setSipServices(VelkSipServices *services) { m_Sip = services; }
    VelkSipServices *sipServices() const { return m_Sip; }

    // The device table: one VelkDevice child per group of "velk-devices", named by its number.
    VelkDevice *findDevice(quint16 number) const;
    VelkDevice *findDeviceByName(const QString &number) const;
    VelkDevice *loadDevice(const QString &number);
    void loadDevices();
    bool deviceExists(const QString &number);
    bool deviceExists(quint16 number) { return deviceExists(QString::number(number)); }
    // Saves and deletes are in the file on return: false when it could not be written.
    bool removeDevice(quint16 number);
    bool removeDeviceByName(const QString &number);
    bool saveSettings(const QMap<QString, QString> &values);
    // The first key whose value the device cannot be saved with, logged; empty when none.
    QString refusedDeviceKey(quint16 number, const QMap<QString, QString> &values);
    // False, and nothing stored, when a key is refused; false as well when the file could not
    // be written, the change made all the same.
    bool saveDevice(quint16 number, const QMap<QString, QString> &values, bool partial, bool push);
    void applyDeviceMusic(quint16 number);
    QString deviceTitle(const QString &number) const;
    // The model name of the "device-type" of the devices file's open group.
    QString deviceTypeName();
    static QString deviceTypeName(uint type);
    QSettings &devicesFile() { return m_Devices; }
    // For test rigs whose simulated panels take the placeholder images of a build without the
    // real ones. The service never allows it, and no setting reaches it.
    void allowPlaceholderFirmware() { m_PlaceholderFirmwareAllowed = true; }
    bool placeholderFirmwareAllowed() const { return m_PlaceholderFirmwareAllowed; }

signals:
    void sendDatagram(QHostAddress receiverAddr, ushort receiverPort, QByteArray datagram);
    void unloadDevices();
    void intercept(QString uuid, QString callid);

public slots:
    void checkDatagram(QHostAddress senderAddr, ushort senderPort, QByteArray datagram);
    void setConnectionState(VelkConnectionState state,
                            QAbstractSocket::SocketError error
                            = QAbstractSocket::UnknownSocketError,
                            const QString &errorString = QString());
    void intercepted(QString conversationName, QString fromUserName, QString fromCallId);

private:
    QVariant setting(int index) const;
    // The device's properties from its group of the devices file.
    // Loading, a relay mode that is read otherwise is logged.
    void readDeviceSettings(VelkDevice *device, bool loading);

    // A child, so it moves into the core thread with the module that uses it.
    QSettings m_Devices;
    VelkConnectionState m_ConnectionState = VelkNotRunning;
    int m_SocketError = -1;
    QString m_ErrorString;
    QString m_DisplayAddress;
    quint16 m_DisplayPort = 0;
    VelkSipServices *m_Sip = nullptr;
    bool m_PlaceholderFirmwareAllowed = false;
};
