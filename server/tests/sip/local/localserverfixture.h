#pragma once

#include "core/modulehost.h"
#include "sip/message/sipmessage.h"

#include <QHash>
#include <QSettings>
#include <QUdpSocket>

class Sip;

// The owner of a Sip module under test: the main settings in a file of the test's own.
class LocalHost : public QObject, public ModuleHost
{
public:
    LocalHost();
    QSettings file;
    void setValue(const QString &group, const QString &key, const QVariant &value) override;
    void setDefaultValue(const QString &group, const QString &key, const QVariant &value) override;
    QVariant value(const QString &group, const QString &key,
                   const QVariant &defaultValue) const override;
    bool restartSipAndVelk() override { return true; }
    bool isStopping() const override { return false; }
};

// A SIP phone written by hand on a loopback UDP socket: it sends request texts with "$"
// placeholders filled in and reads what the server sends back as parsed messages.
class RawPhone
{
public:
    RawPhone(const QString &user, quint16 serverPort);
    quint16 port() const { return m_Socket.localPort(); }
    QString user() const { return m_User; }
    // Placeholders: $user, $port, $server (host:port), $callid, $cseq, $branch, $auth, $body,
    // $len; extra ones from fields.
    void send(QString text, const QHash<QString, QString> &fields = {});
    // The next message (skipping 100 Trying when told), invalid when none came in time.
    SipMessage next(bool skipTrying = true, int timeoutMs = 10000);
    // The Authorization value answering challenge for method and uri with this user's password.
    QString answer(const SipMessage &challenge, const QString &method, const QString &uri,
                   const QString &password, const QString &realm = QString()) const;
    // REGISTER with digest, as a phone does it; the status of the final answer.
    int registerWith(const QString &password, const QString &expiresHeader = "Expires: 60\n");

private:
    QString m_User;
    quint16 m_ServerPort;
    QUdpSocket m_Socket;
    int m_CSeq = 1;
};

// The users file and the main settings of a standalone server on address and port (a free
// loopback port when 0); returns the port.
quint16 writeLocalServerSettings(LocalHost &host, const QString &address = "127.0.0.1",
                                 quint16 port = 0);
QString digestNonce(const SipMessage &challenge);
int statusCode(const SipMessage &message);
