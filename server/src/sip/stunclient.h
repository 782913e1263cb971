#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QHostInfo>
#include <QObject>
#include <QTimer>
#include <QUdpSocket>

// Learns the gateway's external IPv4 address from a STUN server (RFC 5389 Binding): looks the
// server up, connects a UDP socket of its own to it, asks at once and then every IntervalMs,
// and reports every address an answer carries. Lives in the SIP transport worker's thread.
// A failed look-up is retried after a pause that grows up to IntervalMs and is logged once; an
// answer without an address, or to another request, is an error and reports nothing.
class StunClient : public QObject
{
    Q_OBJECT
public:
    static constexpr quint16 DefaultPort = 3478;
    static constexpr qint64 IntervalMs = 60000;
    static constexpr qint64 FirstRetryMs = 1000;
    static constexpr int MaxDatagram = 512;

    // server is "host[:port]"; empty switches the client off. A missing, zero or unreadable
    // port is DefaultPort.
    explicit StunClient(const QString &server, QObject *parent = nullptr);

    QString host() const { return m_StunHost; }
    quint16 port() const { return m_StunPort; }
    bool isRunning() const { return m_StunTimer.isActive(); }
    bool isWaitingToRetry() const { return m_LookupRetry.isActive(); }
    int lookups() const { return m_Lookups; }

public slots:
    void initStunServer();
    // No look-up, request or report after this.
    void stop();
    void checkStunServer();

signals:
    // The external address as dotted IPv4 text.
    void stunServer(QString serverAddr);

private slots:
    void lookedUpStun(const QHostInfo &host);
    void readyReadStun();

private:
    void lookUp();
    void connectToServer();

    QString m_StunServer;
    QString m_StunHost;
    quint16 m_StunPort = DefaultPort;
    QHostAddress m_StunAddress { QHostAddress::AnyIPv4 };
    QUdpSocket m_StunSocket;
    QTimer m_StunTimer;
    QTimer m_LookupRetry;
    qint64 m_RetryMs = FirstRetryMs;
    int m_LookupId = -1;
    int m_Lookups = 0;
    bool m_LookupFailed = false;
    bool m_Stopped = false;
    QByteArray m_TransactionId;
};
