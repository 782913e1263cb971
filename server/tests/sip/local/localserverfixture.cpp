#include "localserverfixture.h"

#include "core/env.h"

#include <QCryptographicHash>
#include <QNetworkDatagram>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QUuid>

namespace {

QString md5(const QString &text)
{
    return QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Md5).toHex();
}

} // namespace

LocalHost::LocalHost()
    : file(Env::configFilePath("main"), QSettings::IniFormat)
{
}

void LocalHost::setValue(const QString &group, const QString &key, const QVariant &value)
{
    file.setValue(group + "/" + key, value);
}

void LocalHost::setDefaultValue(const QString &group, const QString &key, const QVariant &value)
{
    if (!file.contains(group + "/" + key))
        file.setValue(group + "/" + key, value);
}

QVariant LocalHost::value(const QString &group, const QString &key,
                          const QVariant &defaultValue) const
{
    return file.value(group + "/" + key, defaultValue);
}

quint16 writeLocalServerSettings(LocalHost &host, const QString &address, quint16 port)
{
    if (port == 0) {
        QUdpSocket probe;
        probe.bind(QHostAddress(QHostAddress::LocalHost), 0);
        port = probe.localPort();
    }
    host.file.clear();
    host.file.setValue("sip/standalone-bind-address", address);
    host.file.setValue("sip/standalone-bind-port", port);
    host.file.sync();
    QSettings users(Env::configFilePath("sip-users"), QSettings::IniFormat);
    users.clear();
    for (const char *name : { "alice", "bob", "carol" }) {
        users.setValue(QString("%1/type-user").arg(name), 1);
        users.setValue(QString("%1/sip-standalone-login").arg(name), name);
        users.setValue(QString("%1/sip-standalone-password").arg(name), QString("pw-") + name);
    }
    users.setValue("group/type-user", 2);
    users.sync();
    return port;
}

RawPhone::RawPhone(const QString &user, quint16 serverPort)
    : m_User(user)
    , m_ServerPort(serverPort)
{
    m_Socket.bind(QHostAddress(QHostAddress::LocalHost), 0);
}

void RawPhone::send(QString text, const QHash<QString, QString> &fields)
{
    QHash<QString, QString> all = fields;
    all.insert("user", m_User);
    all.insert("port", QString::number(port()));
    all.insert("server", QString("127.0.0.1:%1").arg(m_ServerPort));
    if (!all.contains("cseq"))
        all.insert("cseq", QString::number(m_CSeq++));
    if (!all.contains("branch"))
        all.insert("branch", "z9hG4bK" + QUuid::createUuid().toString(QUuid::Id128));
    all.insert("len", QString::number(all.value("body").toUtf8().size()));
    // Longest names first, so that $cseq is not read as $c followed by "seq".
    QStringList names = all.keys();
    std::sort(names.begin(), names.end(),
              [](const QString &a, const QString &b) { return a.size() > b.size(); });
    for (const QString &name : names)
        text.replace("$" + name, all.value(name));
    text.replace(QRegularExpression("\r?\n"), "\r\n");
    m_Socket.writeDatagram(text.toUtf8(), QHostAddress::LocalHost, m_ServerPort);
}

SipMessage RawPhone::next(bool skipTrying, int timeoutMs)
{
    QSignalSpy ready(&m_Socket, &QUdpSocket::readyRead);
    for (;;) {
        if (!m_Socket.hasPendingDatagrams() && !ready.wait(timeoutMs))
            return SipMessage();
        while (m_Socket.hasPendingDatagrams()) {
            const QNetworkDatagram d = m_Socket.receiveDatagram();
            SipMessage message(SipTransport::UDP, d.senderAddress(), quint16(d.senderPort()),
                               QHostAddress::LocalHost, port(), d.data());
            if (skipTrying && message.startLine.kind == 1
                && message.startLine.status == SipStatus::Trying)
                continue;
            // Keep what is left for the next call.
            return message;
        }
    }
}

QString RawPhone::answer(const SipMessage &challenge, const QString &method, const QString &uri,
                         const QString &password, const QString &realm) const
{
    const QString nonce = digestNonce(challenge);
    const QString useRealm = realm.isEmpty() ? "corvane" : realm;
    const QString ha1 = md5(QString("%1:%2:%3").arg(m_User, useRealm, password));
    const QString ha2 = md5(QString("%1:%2").arg(method, uri));
    return QString("Authorization: Digest username=\"%1\", realm=\"%2\", nonce=\"%3\", "
                   "uri=\"%4\", response=\"%5\", algorithm=MD5\n")
        .arg(m_User, useRealm, nonce, uri, md5(QString("%1:%2:%3").arg(ha1, nonce, ha2)));
}

int RawPhone::registerWith(const QString &password, const QString &expiresHeader)
{
    const QString text = "REGISTER sip:$server SIP/2.0\n"
                         "Via: SIP/2.0/UDP 127.0.0.1:$port;branch=$branch;rport\n"
                         "From: <sip:$user@$server>;tag=r$port\nTo: <sip:$user@$server>\n"
                         "Call-ID: reg-$user-$port\nCSeq: $cseq REGISTER\n"
                         "Contact: <sip:$user@127.0.0.1:$port>\n$expires$auth"
                         "Content-Length: 0\n\n";
    send(text, { { "expires", expiresHeader }, { "auth", "" } });
    const SipMessage challenge = next();
    if (statusCode(challenge) != 401)
        return statusCode(challenge);
    const QString uri = QString("sip:127.0.0.1:%1").arg(m_ServerPort);
    send(
        text,
        { { "expires", expiresHeader }, { "auth", answer(challenge, "REGISTER", uri, password) } });
    return statusCode(next());
}

QString digestNonce(const SipMessage &challenge)
{
    static const QRegularExpression nonce("nonce=\"([^\"]*)\"");
    return nonce.match(challenge.headerValue(SipHeader::WWWAuthenticate)).captured(1);
}

int statusCode(const SipMessage &message)
{
    return message.isValid() && message.startLine.kind == 1
        ? statusCodeText(message.startLine.status).toInt()
        : 0;
}
