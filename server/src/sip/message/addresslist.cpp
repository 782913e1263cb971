#include "sip/message/addresslist.h"

#include "sip/message/trimmedtext.h"

QStringList addressListEntries(const QString &line)
{
    QStringList entries;
    bool quoted = false;
    bool escaped = false;
    int angle = 0;
    int start = 0;
    const auto take = [&](int end) {
        const QString entry = trimmedText(line.mid(start, end - start));
        if (!entry.isEmpty())
            entries << entry;
        start = end + 1;
    };
    for (int i = 0; i < line.size(); ++i) {
        const QChar c = line.at(i);
        if (quoted) {
            if (escaped)
                escaped = false;
            else if (c == QLatin1Char('\\'))
                escaped = true;
            else if (c == QLatin1Char('"'))
                quoted = false;
        } else if (c == QLatin1Char('"')) {
            quoted = true;
        } else if (c == QLatin1Char('<')) {
            ++angle;
        } else if (c == QLatin1Char('>')) {
            angle = angle > 0 ? angle - 1 : 0;
        } else if (c == QLatin1Char(',') && angle == 0) {
            take(i);
        }
    }
    take(line.size());
    return entries;
}

namespace {

QString transportOf(const KBaseUri<1> &uri)
{
    const QString transport = uri.parameters.param(QStringLiteral("transport"));
    return transport.isEmpty() ? QStringLiteral("udp") : transport.toLower();
}

} // namespace

bool sameBinding(const KBaseUri<1> &a, const KBaseUri<1> &b)
{
    return a.valid && b.valid && a.user == b.user
        && a.host.compare(b.host, Qt::CaseInsensitive) == 0
        && (a.port == 0 ? 5060 : a.port) == (b.port == 0 ? 5060 : b.port)
        && transportOf(a) == transportOf(b);
}
