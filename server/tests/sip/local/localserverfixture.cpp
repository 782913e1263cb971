#include "localserverfixture.h"

#include "conversation/conversationthread.h"
#include "core/qsmdraction.h"
#include "sip/sipdialog.h"

#include <QCryptographicHash>
#include <QNetworkDatagram>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

#include <memory>
#include <vector>

#include <sys/socket.h>

namespace {

QString md5(const QString &text)
{
    return QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Md5).toHex();
}

} // namespace

quint16 freePort()
{
    // The local server takes the number on UDP and TCP alike: a port free on UDP alone may be
    // another test's TCP listener. The probes stay bound until both are known to be free.
    std::vector<std::unique_ptr<QUdpSocket>> held;
    for (int tries = 0; tries < 64; ++tries) {
        held.push_back(std::make_unique<QUdpSocket>());
        if (!held.back()->bind(QHostAddress(QHostAddress::LocalHost), 0))
            break;
        const quint16 port = held.back()->localPort();
        QTcpServer tcp;
        if (tcp.listen(QHostAddress(QHostAddress::LocalHost), port))
            return port;
    }
    return 0;
}

quint16 writeLocalServerSettings(LocalHost &host, const QString &address, quint16 port)
{
    if (port == 0)
        port = freePort();
    host.file.clear();
    host.file.setValue("sip/standalone-bind-address", address);
    host.file.setValue("sip/standalone-bind-port", port);
    QSettings users(Env::configFilePath("sip-users"), QSettings::IniFormat);
    users.clear();
    for (const QString name : { "alice", "bob", "carol", "dave" }) {
        users.setValue(name + "/type-user", 1);
        users.setValue(name + "/sip-standalone-login", name);
        users.setValue(name + "/sip-standalone-password", "pw-" + name);
    }
    users.setValue("group/type-user", 2);
    return port;
}

const QString RawPhone::kRegister
    = "REGISTER sip:$server SIP/2.0\n"
      "Via: SIP/2.0/UDP 127.0.0.1:$port;branch=$branch;rport\n"
      "From: <sip:$user@$server>;tag=r$port\nTo: <sip:$user@$server>\n"
      "Call-ID: reg-$user-$port\nCSeq: $cseq REGISTER\n"
      "Contact: <sip:$user@127.0.0.1:$port$transport>\n$expires$auth"
      "Content-Length: 0\n\n";

RawPhone::RawPhone(const QString &user, quint16 serverPort, bool tcp, quint16 localPort)
    : m_User(user)
    , m_ServerPort(serverPort)
    , m_Tcp(tcp)
{
    if (!tcp) {
        m_Socket.bind(QHostAddress(QHostAddress::LocalHost), 0);
        return;
    }
    if (localPort != 0)
        m_Stream.bind(QHostAddress(QHostAddress::LocalHost), localPort);
    m_Stream.connectToHost(QHostAddress::LocalHost, serverPort);
    m_Stream.waitForConnected(10000);
}

void RawPhone::send(QString text, QHash<QString, QString> fields)
{
    fields.insert("user", m_User);
    fields.insert("port", QString::number(m_Tcp ? m_Stream.localPort() : m_Socket.localPort()));
    // A TCP phone says so where its texts name the transport.
    if (m_Tcp) {
        fields.insert("transport", ";transport=tcp");
        text.replace("SIP/2.0/UDP", "SIP/2.0/TCP");
    }
    fields.insert("server", QString("127.0.0.1:%1").arg(m_ServerPort));
    if (!fields.contains("cseq"))
        fields.insert("cseq", QString::number(m_CSeq++));
    if (!fields.contains("branch"))
        fields.insert("branch", "z9hG4bK" + QString::number(m_CSeq) + fields["port"]);
    fields.insert("len", QString::number(fields.value("body").toUtf8().size()));
    // One pass: a field's value is never read for placeholders; those of no field stay empty.
    static const QRegularExpression placeholder("\\$([a-z]+)");
    QString filled;
    int at = 0;
    for (auto it = placeholder.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        filled += text.mid(at, m.capturedStart() - at) + fields.value(m.captured(1));
        at = m.capturedEnd();
    }
    text = filled + text.mid(at);
    text.replace(QRegularExpression("\r?\n"), "\r\n");
    if (m_Tcp)
        m_Stream.write(text.toUtf8());
    else
        m_Socket.writeDatagram(text.toUtf8(), QHostAddress::LocalHost, m_ServerPort);
}

void RawPhone::reset()
{
    const linger none { 1, 0 };
    setsockopt(int(m_Stream.socketDescriptor()), SOL_SOCKET, SO_LINGER, &none, sizeof none);
    m_Stream.abort();
}

SipMessage RawPhone::next(int timeoutMs)
{
    if (m_Tcp) {
        SipMessage message;
        const auto take = [&] {
            m_Framer.append(m_Stream.readAll());
            QByteArray bytes;
            QString error;
            while (m_Framer.next(&bytes, &error) == SipStreamFramer::Complete) {
                message = SipMessage(SipTransport::TCP, QHostAddress::LocalHost, m_ServerPort,
                                     QHostAddress::LocalHost, m_Stream.localPort(), bytes);
                if (message.startLine.status != SipStatus::Trying)
                    return true;
            }
            return false;
        };
        return QTest::qWaitFor(take, timeoutMs) ? message : SipMessage();
    }
    QSignalSpy ready(&m_Socket, &QUdpSocket::readyRead);
    for (;;) {
        if (!m_Socket.hasPendingDatagrams() && !ready.wait(timeoutMs))
            return SipMessage();
        const QNetworkDatagram d = m_Socket.receiveDatagram();
        const SipMessage message(SipTransport::UDP, d.senderAddress(), quint16(d.senderPort()),
                                 QHostAddress::LocalHost, m_Socket.localPort(), d.data());
        if (message.startLine.status != SipStatus::Trying)
            return message;
    }
}

QString RawPhone::answer(const SipMessage &challenge, const QString &method, const QString &uri,
                         const QString &password, const QString &realm) const
{
    static const QRegularExpression nonceParam("nonce=\"([^\"]*)\"");
    const QString nonce
        = nonceParam.match(challenge.headerValue(SipHeader::WWWAuthenticate)).captured(1);
    const QString ha1 = md5(QString("%1:%2:%3").arg(m_User, realm, password));
    const QString ha2 = md5(QString("%1:%2").arg(method, uri));
    return QString("Authorization: Digest username=\"%1\", realm=\"%2\", nonce=\"%3\", "
                   "uri=\"%4\", response=\"%5\", algorithm=MD5\n")
        .arg(m_User, realm, nonce, uri, md5(QString("%1:%2:%3").arg(ha1, nonce, ha2)));
}

int RawPhone::registerWith(QString password, const QString &expiresLine, const QString &callId,
                           const QString &contactUser)
{
    if (password.isEmpty())
        password = "pw-" + m_User;
    QString text = kRegister;
    if (!callId.isEmpty())
        text.replace("reg-$user-$port", callId);
    if (!contactUser.isEmpty())
        text.replace("<sip:$user@127.0.0.1", "<sip:" + contactUser + "@127.0.0.1");
    send(text, { { "expires", expiresLine } });
    const SipMessage challenge = next();
    if (statusCode(challenge) != 401)
        return statusCode(challenge);
    const QString uri = QString("sip:127.0.0.1:%1").arg(m_ServerPort);
    send(text,
         { { "expires", expiresLine }, { "auth", answer(challenge, "REGISTER", uri, password) } });
    return statusCode(next());
}

bool RawPhone::invite(const QString &to, const QString &callId, const QString &sdp)
{
    const QString text = "$method sip:$to@$server SIP/2.0\n"
                         "Via: SIP/2.0/UDP 127.0.0.1:$port;branch=$branch\n"
                         "From: <sip:$user@$server>;tag=$user\nTo: <sip:$to@$server>$totag\n"
                         "Call-ID: $callid\nCSeq: $cseq $method\n"
                         "Contact: <sip:$user@127.0.0.1:$port$transport>\n$auth"
                         "Content-Length: $len\n\n$body";
    QHash<QString, QString> f {
        { "method", "INVITE" }, { "to", to }, { "callid", callId }, { "cseq", "1" }, { "body", sdp }
    };
    send(text, f);
    const SipMessage challenge = next();
    if (statusCode(challenge) != 401)
        return false;
    send(text,
         { { "method", "ACK" },
           { "to", to },
           { "callid", callId },
           { "cseq", "1" },
           { "branch", challenge.branch() },
           { "totag", ";tag=" + toTagOf(challenge) } });
    const QString uri = QString("sip:%1@127.0.0.1:%2").arg(to).arg(m_ServerPort);
    f["auth"] = answer(challenge, "INVITE", uri, "pw-" + m_User);
    f["cseq"] = "2";
    send(text, f);
    return true;
}

int statusCode(const SipMessage &message)
{
    return message.startLine.kind == 1 ? statusCodeText(message.startLine.status).toInt() : 0;
}

const QString kSdp = "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
                     "m=audio 30000 RTP/AVP 8\r\na=rtpmap:8 PCMA/8000\r\na=sendrecv\r\n";

QString reply(const SipMessage &request, int code, const QString &extra, const QString &sdp,
              const QString &tag)
{
    const QString number = QString::number(code);
    QString text = "SIP/2.0 " + number + " " + reasonPhrase(statusFromCode(number)) + "\n";
    for (const QString &via : request.headerValues(SipHeader::Via))
        text += "Via: " + via + "\n";
    text += "From: " + request.headerValue(SipHeader::From) + "\nTo: "
        + request.headerValue(SipHeader::To) + ";tag=" + tag + "\nCall-ID: " + request.callId()
        + "\nCSeq: " + request.headerValue(SipHeader::CSeq) + "\n" + extra;
    const QString body
        = (code == 200 || code == 183) && request.startLine.method == SipMethod::Invite ? sdp : "";
    return text + (body.isEmpty() ? "" : "Content-Type: application/sdp\n")
        + QString("Content-Length: %1\n\n").arg(body.size()) + body;
}

void collectRecords(ConversationThread *call, QObject *context, QStringList &records,
                    QList<qlonglong> *durations, QList<QDateTime> *starts)
{
    QObject::connect(
        call,
        qOverload<QDateTime, QString, QString, qlonglong, QSmdrAction::Type, QString>(
            &ConversationThread::smdrLog),
        context,
        [&records, durations, starts](QDateTime start, QString src, QString dest,
                                      qlonglong duration, QSmdrAction::Type action, QString attr) {
            records << QStringList { src, dest, QSmdrAction::code(action), attr }.join(' ');
            if (durations)
                *durations << duration;
            if (starts)
                *starts << start;
        });
}
