#pragma once

#include "core/attendedthreadobject.h"
#include "velk/velkconnectionstate.h"

#include <QAbstractSocket>
#include <QHostAddress>
#include <QString>
#include <QTimer>

class QUdpSocket;

// The control-socket worker of the door-device module; runs in the module's thread. It resolves
// and binds the configured address, retrying every second until it listens or is told to stop,
// passes every datagram on unparsed and writes those it is handed, tracing both when asked.
class VelkObject : public AttendedThreadObject
{
    Q_OBJECT
public:
    static constexpr qint64 kRetryMs = 1000;

    VelkObject(const QString &bindAddress, quint16 bindPort, bool logProtocol,
               QObject *parent = nullptr);
    ~VelkObject() override;

    // The bound port; 0 before the socket listens. Read it in the worker's thread.
    quint16 localPort() const;

signals:
    void checkDatagram(QHostAddress senderAddr, ushort senderPort, QByteArray datagram);
    void setConnectionState(VelkConnectionState state,
                            QAbstractSocket::SocketError error
                            = QAbstractSocket::UnknownSocketError,
                            QString errorString = QString());

public slots:
    void readyRead();
    void run() override;
    void sendDatagram(QHostAddress receiverAddr, ushort receiverPort, QByteArray datagram);
    void queryTerminate() override;

private:
    void resolve();
    void bindSocket();
    void trace(const QString &arrow, const QString &what, const QHostAddress &peer, quint16 port,
               const QByteArray &datagram);

    bool m_LogProtocol;
    QString m_BindAddress;
    quint16 m_BindPort;
    QUdpSocket *m_Socket = nullptr;
    QHostAddress m_Address;
    QTimer m_Retry;
    bool m_LookupFailed = false;
    bool m_BindFailed = false;
    bool m_Listening = false;
};
