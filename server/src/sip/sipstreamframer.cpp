#include "sip/sipstreamframer.h"

#include <QList>

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

// The end of the head (index of its blank line) and the separator's size; -1 while incomplete.
int headEnd(const QByteArray &buffer, int *separator)
{
    const int crlf = buffer.indexOf("\r\n\r\n");
    const int lf = buffer.indexOf("\n\n");
    if (lf >= 0 && (crlf < 0 || lf < crlf)) {
        *separator = 2;
        return lf;
    }
    *separator = 4;
    return crlf;
}

} // namespace

qint64 SipStreamFramer::contentLength(const QByteArray &head)
{
    qint64 length = -1;
    int found = 0;
    const QList<QByteArray> lines = head.split('\n');
    // The start line is skipped; folded continuation lines belong to the header before them.
    for (int i = 1; i < lines.size(); ++i) {
        QByteArray line = lines.at(i);
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.isEmpty() || isBlank(line.at(0)))
            continue;
        const int colon = line.indexOf(':');
        if (colon < 0)
            continue;
        const QByteArray name = line.left(colon).trimmed().toLower();
        if (name != "content-length" && name != "l")
            continue;
        QByteArray value = line.mid(colon + 1);
        // A folded value continues on the following lines.
        while (i + 1 < lines.size() && !lines.at(i + 1).isEmpty() && isBlank(lines.at(i + 1)[0]))
            value += ' ' + lines.at(++i);
        value = value.trimmed();
        ++found;
        bool digits = !value.isEmpty() && value.size() <= 10;
        for (const char c : value)
            digits = digits && c >= '0' && c <= '9';
        length = digits ? value.toLongLong() : -1;
    }
    return found == 1 ? length : -1;
}

SipStreamFramer::Result SipStreamFramer::next(QByteArray *message, QString *error)
{
    int skip = 0;
    while (skip < m_Buffer.size() && (m_Buffer.at(skip) == '\r' || m_Buffer.at(skip) == '\n'))
        ++skip;
    if (skip > 0)
        m_Buffer.remove(0, skip);

    int separator = 0;
    const int end = headEnd(m_Buffer, &separator);
    if (end < 0 ? m_Buffer.size() > MaxHeadBytes : end + separator > MaxHeadBytes) {
        m_Buffer.clear();
        *error = QStringLiteral("Message head exceeds %1 bytes.").arg(MaxHeadBytes);
        return Failed;
    }
    if (end < 0)
        return Incomplete;

    const int headSize = end + separator;
    const qint64 length = contentLength(QByteArray::fromRawData(m_Buffer.constData(), headSize));
    if (length < 0) {
        m_Buffer.clear();
        *error = QStringLiteral("Message without exactly one numeric Content-Length.");
        return Failed;
    }
    if (length > MaxBodyBytes) {
        m_Buffer.clear();
        *error = QStringLiteral("Message body of %1 bytes exceeds %2 bytes.")
                     .arg(length)
                     .arg(MaxBodyBytes);
        return Failed;
    }
    const int total = headSize + int(length);
    if (m_Buffer.size() < total)
        return Incomplete;
    *message = m_Buffer.left(total);
    m_Buffer.remove(0, total);
    return Complete;
}
