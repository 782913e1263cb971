#include "http/formdata.h"

#include <QList>

namespace {

// Names and values end at a NUL byte, as C text would.
QByteArray beforeNul(const QByteArray &bytes)
{
    const int nul = bytes.indexOf('\0');
    return nul < 0 ? bytes : bytes.left(nul);
}

QString textOf(const QByteArray &bytes)
{
    return QString::fromUtf8(beforeNul(bytes));
}

QString nameOf(const QByteArray &bytes)
{
    return formFieldName(QString::fromUtf8(beforeNul(bytes).trimmed()));
}

} // namespace

// Only ASCII letters change: Unicode case mapping would make lookalikes of other letters (the
// Kelvin sign lower-cases to "k") spell a setting's name.
QString formFieldName(QString name)
{
    for (QChar &c : name) {
        if (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
            c = QChar(c.unicode() + ('a' - 'A'));
    }
    return name;
}

QHash<QString, QString> parseFormData(const QByteArray &text)
{
    QHash<QString, QString> fields;
    if (text.isEmpty())
        return fields;
    const QList<QByteArray> pieces = text.split('&');
    for (const QByteArray &piece : pieces) {
        const int eq = piece.indexOf('=');
        if (eq < 0) {
            fields.insert(nameOf(piece), QString());
            continue;
        }
        QByteArray value = piece.mid(eq + 1);
        value.replace('+', ' ');
        fields.insert(nameOf(piece.left(eq)),
                      textOf(QByteArray::fromPercentEncoding(value.trimmed())));
    }
    return fields;
}

QHash<QString, QString> fieldsNamed(const QHash<QString, QString> &form, const QStringList &names)
{
    QHash<QString, QString> known;
    for (const QString &name : names) {
        const auto it = form.constFind(name);
        if (it != form.cend())
            known.insert(name, it.value());
    }
    return known;
}
