#include "sip/message/dtmfrelaybody.h"

#include "common/codecs/dtmfevent.h"
#include "sip/message/sipconstants.h"
#include "sip/message/sipcontenttype.h"
#include "sip/message/sipmessage.h"

#include <QStringList>

namespace {

const uint kDefaultDuration = 250;

char keyCharacter(uchar key)
{
    if (key > 31)
        return char(key);
    const char event = dtmfEventChar(key);
    return event != '\0' ? event : char('0' + key);
}

// The key of a Signal value: a key character, an event number 10 to 16, or "hf" for flash.
// "f" is read too: it is what the writer sends for a flash.
char signalKey(const QString &value)
{
    static const QString kKeys = QStringLiteral("0123456789abcd*#f");
    if (value.size() == 1 && kKeys.contains(value.at(0)))
        return value.at(0).toLatin1();
    if (value == QLatin1String("hf"))
        return 'f';
    bool ok = false;
    const uint event = value.toUInt(&ok);
    if (ok && event >= 10 && event <= 16 && value.size() == 2)
        return dtmfEventChar(quint8(event));
    return '\0';
}

} // namespace

QByteArray dtmfRelayBody(const uchar &key, const uint &duration)
{
    return QStringLiteral("Signal=%1%2Duration=%3%2")
        .arg(QChar::fromLatin1(keyCharacter(key)), ENDL, QString::number(duration))
        .toLocal8Bit();
}

bool parseDtmfBody(const QByteArray &body, const QString &contentType, char &key, uint &duration)
{
    key = '\0';
    duration = 0;
    if (contentKind(contentType) == SipContentType::DtmfRelay) {
        const int nul = body.indexOf('\0');
        QString text = QString::fromUtf8(nul < 0 ? body : body.left(nul));
        text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
        for (const QString &line : text.split(QLatin1Char('\n'), Qt::KeepEmptyParts)) {
            const QStringList parts = line.split(QLatin1Char('='), Qt::KeepEmptyParts);
            if (parts.size() != 2)
                continue;
            const QString name = parts.at(0).trimmed().toLower();
            const QString value = parts.at(1).trimmed().toLower();
            if (name == QLatin1String("signal")) {
                const char found = signalKey(value);
                if (found != '\0')
                    key = found;
            } else if (name == QLatin1String("duration")) {
                bool ok = false;
                const uint number = value.toUInt(&ok);
                if (ok)
                    duration = number;
            }
        }
    }
    if (duration == 0)
        duration = kDefaultDuration;
    return key != '\0';
}

bool SipMessage::dtmf(char &key, uint &duration) const
{
    return parseDtmfBody(body, contentType(), key, duration);
}
