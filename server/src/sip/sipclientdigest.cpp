#include "sip/sipclientdigest.h"

#include "core/digestchallenge.h"
#include "core/identifiers.h"
#include "sip/message/sipmessage.h"

#include <QCryptographicHash>

namespace {

QString md5(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
}

QString md5(const QString &text)
{
    return md5(text.toUtf8());
}

} // namespace

QHash<QString, QString> SipClientDigest::parseChallenge(const QString &challenge)
{
    return parseDigestChallenge(challenge);
}

QString SipClientDigest::authorization(const SipHeader::Type &challengeHeader,
                                       const SipMessage &request, const SipMessage &response,
                                       const QString &login, const QString &password,
                                       quint64 &nonceCount)
{
    const QStringList challenges = response.headerValues(challengeHeader);
    if (challenges.size() != 1)
        return QString();
    const QHash<QString, QString> params = parseChallenge(challenges.first());
    if (params.isEmpty())
        return QString();
    const QString realm = params.value(QStringLiteral("realm"));
    const QString nonce = params.value(QStringLiteral("nonce"));

    QStringList offered;
    for (const QString &option : params.value(QStringLiteral("qop")).split(QLatin1Char(',')))
        offered.append(option.trimmed());
    QString qop;
    if (offered.contains(QLatin1String("auth")))
        qop = QStringLiteral("auth");
    else if (offered.contains(QLatin1String("auth-int")))
        qop = QStringLiteral("auth-int");

    const QString method = methodName(request.cseqMethod());
    const QString uri = request.startLine.requestUri.toString();
    const QString ha1 = md5(QStringLiteral("%1:%2:%3").arg(login, realm, password));
    // auth-int covers the body the request carries (an INVITE's SDP; nothing for REGISTER).
    const QString ha2 = qop == QLatin1String("auth-int")
        ? md5(QStringLiteral("%1:%2:%3").arg(method, uri, md5(request.body)))
        : md5(QStringLiteral("%1:%2").arg(method, uri));

    QString text;
    if (!qop.isEmpty()) {
        const QString cnonce = randomHexId();
        const QString nc = QStringLiteral("%1").arg(nonceCount, 8, 16, QLatin1Char('0'));
        const QString answer
            = md5(QStringList { ha1, nonce, nc, cnonce, qop, ha2 }.join(QLatin1Char(':')));
        text = QStringLiteral("Digest username=\"%1\", realm=\"%2\", nonce=\"%3\", uri=\"%4\", "
                              "qop=%5, nc=%6, cnonce=\"%7\", response=\"%8\"")
                   .arg(login, realm, nonce, uri, qop, nc, cnonce, answer);
        ++nonceCount;
    } else {
        const QString answer = md5(QStringLiteral("%1:%2:%3").arg(ha1, nonce, ha2));
        text = QStringLiteral("Digest username=\"%1\", realm=\"%2\", nonce=\"%3\", uri=\"%4\", "
                              "response=\"%5\", algorithm=MD5")
                   .arg(login, realm, nonce, uri, answer);
    }
    const QString opaque = params.value(QStringLiteral("opaque"));
    if (!opaque.isEmpty())
        text += QStringLiteral(", opaque=\"%1\"").arg(opaque);
    return text;
}
