#include "sip/message/kparamvalue.h"
#include "sip/message/trimmedtext.h"

namespace {

// Quotes were dropped on reading; a value that cannot stand as a token gets them back, or a
// peer reads "+sip.instance=<urn:...>" as a broken header.
QString written(const QString &value)
{
    for (const QChar c : value) {
        if (c == QLatin1Char('<') || c == QLatin1Char('>') || c == QLatin1Char(',')
            || c == QLatin1Char(';') || c.isSpace())
            return QLatin1Char('"') + value + QLatin1Char('"');
    }
    return value;
}

} // namespace

KParamValue::KParamValue(const QString &text, const QString &separator)
    : m_separator(separator)
{
    // Most lists start empty: an empty text is already trimmed and holds nothing.
    if (text.isEmpty())
        m_value = text;
    else
        setValue(text);
}

void KParamValue::setValue(const QString &text)
{
    clear();
    m_value = trimmedText(text);
    if (m_value.isEmpty())
        return;
    // An empty separator would split between every character; treat the text as one piece.
    const int step = m_separator.size();
    for (int start = 0; start <= m_value.size();) {
        int end = step == 0 ? -1
            : step == 1     ? m_value.indexOf(m_separator.at(0), start)
                            : m_value.indexOf(m_separator, start);
        if (end < 0)
            end = m_value.size();
        const QStringRef piece = m_value.midRef(start, end - start);
        start = end + qMax(step, 1);
        const int equals = piece.indexOf(QLatin1Char('='));
        if (equals < 0) {
            m_params.insert(trimmedText(piece).toString().toLower(), QString());
            continue;
        }
        QString value = trimmedText(piece.mid(equals + 1)).toString();
        value.remove(QLatin1Char('"'));
        m_params.insert(trimmedText(piece.left(equals)).toString().toLower(),
                        trimmedText(std::move(value)));
    }
}

void KParamValue::clear()
{
    m_value.clear();
    if (!m_params.isEmpty())
        m_params.clear();
}

QString KParamValue::param(const QString &name, const QString &defaultValue) const
{
    const auto it = m_params.constFind(name.toLower());
    return it == m_params.constEnd() ? defaultValue.trimmed() : it.value();
}

bool KParamValue::hasParam(const QString &name) const
{
    return m_params.contains(name.toLower());
}

void KParamValue::setParam(const QString &name, const QString &value)
{
    m_params.insert(trimmedText(name).toLower(), trimmedText(value));
}

void KParamValue::removeParam(const QString &name)
{
    m_params.remove(name.toLower());
}

QString KParamValue::toString(const QString &separator) const
{
    // By name, not in the table's order, which follows its history: a parameter list read back
    // from what was written must write the same text again.
    QStringList names = m_params.keys();
    names.sort();
    QString out;
    bool first = true;
    for (const QString &key : qAsConst(names)) {
        const QString name = trimmedText(key).toLower();
        if (name.isEmpty())
            continue;
        if (!first)
            out += separator;
        first = false;
        out += name;
        const QString value = trimmedText(m_params.value(key));
        if (!value.isEmpty()) {
            out += QLatin1Char('=');
            out += written(value);
        }
    }
    return out;
}

bool KParamValue::operator==(const KParamValue &other) const
{
    return m_value == other.m_value && m_params == other.m_params;
}
