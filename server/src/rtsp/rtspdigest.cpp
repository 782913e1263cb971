#include "rtsp/rtspdigest.h"

#include "core/digestchallenge.h"

#include <QCryptographicHash>
#include <QUuid>

namespace {

QString md5(const QString &text)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(text.toLocal8Bit(), QCryptographicHash::Md5).toHex());
}

} // namespace

QHash<QString, QString> RtspDigest::parseChallenge(const QString &challenge)
{
    return parseDigestChallenge(challenge);
}

QString RtspDigest::answer(const QString &challenge, const QString &method, const QString &uri,
                           const QString &login, const QString &password, quint64 &nonceCount)
{
    const QHash<QString, QString> params = parseChallenge(challenge);
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

    const QString ha1 = md5(QStringLiteral("%1:%2:%3").arg(login, realm, password));
    // Requests carry no body, so the entity hash of auth-int is that of nothing.
    const QString ha2 = qop == QLatin1String("auth-int")
        ? md5(QStringLiteral("%1:%2:%3").arg(method, uri, md5(QString())))
        : md5(QStringLiteral("%1:%2").arg(method, uri));

    QString text;
    if (!qop.isEmpty()) {
        const QString cnonce = md5(QUuid::createUuid().toString(QUuid::WithoutBraces));
        const QString nc = QStringLiteral("%1").arg(nonceCount, 8, 16, QLatin1Char('0'));
        const QString response
            = md5(QStringList { ha1, nonce, nc, cnonce, qop, ha2 }.join(QLatin1Char(':')));
        text = QStringLiteral("Digest username=\"%1\", realm=\"%2\", nonce=\"%3\", uri=\"%4\", "
                              "qop=%5, nc=%6, cnonce=\"%7\", response=\"%8\"")
                   .arg(login, realm, nonce, uri, qop, nc, cnonce, response);
        ++nonceCount;
    } else {
        const QString response = md5(QStringLiteral("%1:%2:%3").arg(ha1, nonce, ha2));
        text = QStringLiteral("Digest username=\"%1\", realm=\"%2\", nonce=\"%3\", uri=\"%4\", "
                              "response=\"%5\", algorithm=MD5")
                   .arg(login, realm, nonce, uri, response);
    }
    const QString opaque = params.value(QStringLiteral("opaque"));
    if (!opaque.isEmpty())
        text += QStringLiteral(", opaque=\"%1\"").arg(opaque);
    return text;
}
