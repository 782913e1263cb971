#include "http/pagefill.h"

QString htmlEscape(const QString &text)
{
    QString out;
    out.reserve(text.size() + text.size() / 8);
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '&':
            out += QLatin1String("&amp;");
            break;
        case '<':
            out += QLatin1String("&lt;");
            break;
        case '>':
            out += QLatin1String("&gt;");
            break;
        case '"':
            out += QLatin1String("&quot;");
            break;
        case '\'':
            out += QLatin1String("&#39;");
            break;
        default:
            out += c;
        }
    }
    return out;
}

PageFill &PageFill::set(const QString &name, const QString &text)
{
    m_values.insert(name.toUtf8(), htmlEscape(text).toUtf8());
    return *this;
}

PageFill &PageFill::setMarker(const QString &name, const QByteArray &html)
{
    m_markers.insert(name.toUtf8(), html);
    return *this;
}

QByteArray PageFill::apply(const QByteArray &page) const
{
    static const QByteArray valueOpen("${");
    static const QByteArray markerOpen("<!--__");
    static const QByteArray markerClose("__-->");

    QByteArray out;
    out.reserve(page.size() + page.size() / 4);
    int pos = 0;
    while (pos < page.size()) {
        const int value = page.indexOf(valueOpen, pos);
        const int marker = m_markers.isEmpty() ? -1 : page.indexOf(markerOpen, pos);
        int start = value;
        if (start < 0 || (marker >= 0 && marker < start))
            start = marker;
        if (start < 0)
            break;
        out.append(page.constData() + pos, start - pos);

        const bool isMarker = start == marker;
        const QByteArray &open = isMarker ? markerOpen : valueOpen;
        const int nameStart = start + open.size();
        const int close
            = isMarker ? page.indexOf(markerClose, nameStart) : page.indexOf('}', nameStart);
        const auto &table = isMarker ? m_markers : m_values;
        const auto found
            = close < 0 ? table.cend() : table.constFind(page.mid(nameStart, close - nameStart));
        if (found == table.cend()) {
            out.append(open);
            pos = nameStart;
            continue;
        }
        out.append(found.value());
        pos = close + (isMarker ? markerClose.size() : 1);
    }
    if (pos < page.size())
        out.append(page.constData() + pos, page.size() - pos);
    return out;
}
