#pragma once

#include "core/env.h"
#include "core/modulehost.h"
#include "sip/message/sipmessage.h"
#include "sip/sipstreamframer.h"

#include <QDateTime>
#include <QHash>
#include <QSettings>
#include <QStringList>
#include <QTcpSocket>
#include <QUdpSocket>

class ConversationThread;

// The owner of a Sip module under test: the main settings in a file of the test's own.
class LocalHost : public QObject, public ModuleHost
{
public:
    QSettings file { Env::configFilePath("main"), QSettings::IniFormat };
    void setValue(const QString &group, const QString &key, const QVariant &value) override
    {
        file.setValue(group + "/" + key, value);
    }
    void setDefaultValue(const QString &group, const QString &key, const QVariant &value) override
    {
        if (!file.contains(group + "/" + key))
            setValue(group, key, value);
    }
    QVariant value(const QString &group, const QString &key,
                   const QVariant &defaultValue) const override
    {
        return file.value(group + "/" + key, defaultValue);
    }
    bool restartSipAndVelk() override { return true; }
    bool isStopping() const override { return false; }
};

// A SIP phone written by hand on a loopback UDP socket, or on one TCP connection to the server:
// it sends request texts with "$name" placeholders filled in and reads what the server sends
// back as parsed messages.
class RawPhone
{
public:
    // A REGISTER of the phone's with $expires and $auth lines.
    static const QString kRegister;

    // A TCP phone connects from localPort when one is given, as desk phones with a fixed port.
    RawPhone(const QString &user, quint16 serverPort, bool tcp = false, quint16 localPort = 0);
    // Placeholders: $user, $port, $server (host:port), $cseq, $branch, $len of $body, $transport
    // (the Contact's ";transport=tcp" of a TCP phone), and fields.
    void send(QString text, QHash<QString, QString> fields = {});
    // The next message but 100 Trying; invalid when none came in time.
    SipMessage next(int timeoutMs = 10000);
    // An Authorization header line answering challenge with password (realm: the challenge's).
    QString answer(const SipMessage &challenge, const QString &method, const QString &uri,
                   const QString &password, const QString &realm = "corvane") const;
    // REGISTER with digest as a phone does it ("pw-" and the user's name unless a password is
    // given, under the phone's own Call-ID and with the user's name in its Contact unless others
    // are given); the status of the final answer.
    int registerWith(QString password = QString(), const QString &expiresLine = "Expires: 60\n",
                     const QString &callId = QString(), const QString &contactUser = QString());

    // Calls the account to with digest as a phone does: the INVITE, the ACK of its challenge,
    // the INVITE with credentials; false when no challenge came.
    bool invite(const QString &to, const QString &callId, const QString &sdp);

    // The TCP phone's connection.
    QTcpSocket &connection() { return m_Stream; }
    // Resets the TCP phone's connection: no TIME_WAIT is left, so its port is free again at once.
    void reset();

private:
    QString m_User;
    quint16 m_ServerPort;
    QUdpSocket m_Socket;
    QTcpSocket m_Stream;
    SipStreamFramer m_Framer;
    bool m_Tcp;
    int m_CSeq = 1;
};

// Settings and accounts (alice, bob, carol, dave, a group) of a standalone server on address and
// port (a free loopback port for 0); returns the port.
quint16 writeLocalServerSettings(LocalHost &host, const QString &address = "127.0.0.1",
                                 quint16 port = 0);
int statusCode(const SipMessage &message);
// A loopback port free on UDP and TCP a moment ago.
quint16 freePort();

// A phone's audio offer or answer: PCMA on port 30000.
extern const QString kSdp;
// A phone's answer to a request the server sent it, with its own tag and the extra header lines;
// a 200 or 183 to an INVITE carries the SDP body.
QString reply(const SipMessage &request, int code, const QString &extra = QString(),
              const QString &sdp = kSdp, const QString &tag = "b1");
// Collects the call's SMDR records as "src dest code attr" while context lives, and their
// durations in milliseconds and start times when asked.
void collectRecords(ConversationThread *call, QObject *context, QStringList &records,
                    QList<qlonglong> *durations = nullptr, QList<QDateTime> *starts = nullptr);
