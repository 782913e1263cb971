#include "http/formdata.h"

#include <QList>

namespace {

// Names and values end at a NUL byte, as C text would.
QString textOf(const QByteArray &bytes)
{
    const int nul = bytes.indexOf('\0');
    return QString::fromUtf8(nul < 0 ? bytes : bytes.left(nul));
}

} // namespace

QHash<QString, QString> parseFormData(const QByteArray &text)
{
    QHash<QString, QString> fields;
    if (text.isEmpty())
        return fields;
    const QList<QByteArray> pieces = text.split('&');
    for (const QByteArray &piece : pieces) {
        const int eq = piece.indexOf('=');
        if (eq < 0) {
            fields.insert(textOf(piece).trimmed().toLower(), QString());
            continue;
        }
        const QString name = textOf(piece.left(eq)).trimmed().toLower();
        QByteArray value = piece.mid(eq + 1);
        value.replace('+', ' ');
        fields.insert(name, textOf(QByteArray::fromPercentEncoding(value.trimmed())));
    }
    return fields;
}
