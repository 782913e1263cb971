#include "sip/message/sipmessage.h"

#include "sip/message/sipconstants.h"
#include "sip/message/sipgrammar.h"
#include "sip/message/trimmedtext.h"

#include <QHostAddress>
#include <QVector>

#include <cstring>

namespace {

// Where the first CR LF CR LF starts, -1 when there is none.
int headEndOf(const QByteArray &datagram)
{
    const char *data = datagram.constData();
    const int n = datagram.size();
    for (int at = 0; at + 3 < n;) {
        const void *cr = std::memchr(data + at, '\r', size_t(n - 3 - at));
        if (cr == nullptr)
            return -1;
        at = int(static_cast<const char *>(cr) - data);
        if (data[at + 1] == '\n' && data[at + 2] == '\r' && data[at + 3] == '\n')
            return at;
        ++at;
    }
    return -1;
}

// Whether a CR LF starts at i, given that a LF stands at i + 1.
inline bool crlfAt(const QChar *data, int i)
{
    return i >= 0 && data[i] == QLatin1Char('\r');
}

// Joins folded lines: CR LF followed by a blank or a tab becomes that blank or tab.
void unfold(QString &head)
{
    const int n = head.size();
    const QChar *data = head.constData();
    int lf = head.indexOf(QLatin1Char('\n'));
    while (lf >= 0
           && !(crlfAt(data, lf - 1) && lf + 1 < n
                && (data[lf + 1] == QLatin1Char(' ') || data[lf + 1] == QLatin1Char('\t'))))
        lf = head.indexOf(QLatin1Char('\n'), lf + 1);
    if (lf < 0)
        return;
    QChar *out = head.data();
    int from = lf - 1;
    int to = from;
    while (from < n) {
        if (from + 2 < n && out[from] == QLatin1Char('\r') && out[from + 1] == QLatin1Char('\n')
            && (out[from + 2] == QLatin1Char(' ') || out[from + 2] == QLatin1Char('\t')))
            from += 2;
        out[to++] = out[from++];
    }
    head.truncate(to);
}

// The head split at every CR LF, empty lines kept; always at least one line. folded tells
// whether a CR LF is followed by a blank or a tab.
QVector<QStringRef> splitLines(const QString &head, bool &folded)
{
    QVector<QStringRef> lines;
    lines.reserve(16);
    const QChar *data = head.constData();
    int start = 0;
    for (int lf = head.indexOf(QLatin1Char('\n')); lf >= 0;
         lf = head.indexOf(QLatin1Char('\n'), lf + 1)) {
        if (lf > start && crlfAt(data, lf - 1)) {
            lines.append(QStringRef(&head, start, lf - 1 - start));
            start = lf + 1;
            folded = folded
                || (start < head.size()
                    && (data[start] == QLatin1Char(' ') || data[start] == QLatin1Char('\t')));
        }
    }
    lines.append(QStringRef(&head, start, head.size() - start));
    return lines;
}

// Whether text holds a CR or LF: after unfolding and splitting, one that stood alone.
bool holdsLineBreak(const QStringRef &text)
{
    return text.contains(QLatin1Char('\r')) || text.contains(QLatin1Char('\n'));
}

// text with every CR and LF as a blank, fit for a one-line error.
QString withoutLineBreaks(const QStringRef &text)
{
    QString out = text.toString();
    out.replace(QLatin1Char('\r'), QLatin1Char(' '));
    out.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return out;
}

// Datagrams come from a handful of peers: keep the last texts instead of formatting each time.
QString addressText(const QHostAddress &address)
{
    struct Entry
    {
        QHostAddress address;
        QString text;
    };
    thread_local Entry cache[2];
    thread_local int next = 0;
    for (const Entry &entry : cache) {
        if (!entry.text.isNull() && entry.address == address
            && entry.address.protocol() == address.protocol()
            && entry.address.scopeId() == address.scopeId())
            return entry.text;
    }
    Entry &entry = cache[next];
    next = (next + 1) % 2;
    entry.address = address;
    entry.text = address.toString();
    return entry.text;
}

} // namespace

SipMessage::SipMessage(const SipTransport::Type &transport, const QHostAddress &senderAddr,
                       quint16 senderPort, const QHostAddress &receiverAddr, quint16 receiverPort,
                       const QByteArray &datagram)
    : SipMessage(transport)
{
    senderAddress = addressText(senderAddr);
    this->senderPort = senderPort;
    receiverAddress = addressText(receiverAddr);
    this->receiverPort = receiverPort;
    received = true;
    parseDatagram(datagram);
}

void SipMessage::parseDatagram(const QByteArray &datagram)
{
    // The empty line ends the head in the raw bytes: the body stays bytes, untouched by the
    // decoding and unfolding that only the head gets.
    const int headEnd = headEndOf(datagram);
    // Decoded by length: the QByteArray overload would stop at a NUL, which a quoted string
    // may carry, and lose the headers after it.
    QString head = QString::fromUtf8(datagram.constData(), headEnd < 0 ? datagram.size() : headEnd);
    // Folds are rare: unfold and split again only when the split met one.
    bool folded = false;
    QVector<QStringRef> lines = splitLines(head, folded);
    if (folded) {
        unfold(head);
        lines = splitLines(head, folded);
    }
    const QStringRef first = lines.first();
    if (holdsLineBreak(first)) {
        parseError = QStringLiteral("Unspecified initial line (%1).").arg(withoutLineBreaks(first));
        return;
    }
    QStringRef a, b, c;
    if (SipGrammar::matchRequestLine(first, a, b, c)) {
        const SipMethod::Type method = methodType(a);
        if (method == SipMethod::Unknown) {
            parseError = QStringLiteral("Unknown request method (%1).").arg(a);
            return;
        }
        KBaseRequestUri<1> uri(b.toString());
        // The URI grammar lets the host go empty ("sip::5060"); no request can be routed so.
        if (!uri.valid || uri.host.isEmpty()) {
            parseError = QStringLiteral("Bad request uri (%1).").arg(b);
            return;
        }
        startLine.kind = 0;
        startLine.method = method;
        startLine.requestUri = std::move(uri);
        startLine.version = c.toString();
    } else if (SipGrammar::matchStatusLine(first, a, b, c)) {
        const SipStatus::Type status = statusFromCode(b);
        if (status == SipStatus::Unknown) {
            parseError = QStringLiteral("Bad response code (%1).").arg(first);
            return;
        }
        startLine.kind = 1;
        startLine.version = a.toString();
        startLine.status = status;
        startLine.reason = c.trimmed().toString();
        statusClass = ::statusClass(status);
    } else {
        parseError = QStringLiteral("Unspecified initial line (%1).").arg(first);
        return;
    }
    if (startLine.version != SIPVER) {
        parseError = QStringLiteral("Bad SIP Version (%1).").arg(first);
        return;
    }

    for (int i = 1; i < lines.size(); ++i) {
        // A lone CR or LF would end the line early wherever the value is written again: such a
        // line is dropped like any other line outside the header grammar (which refuses an LF
        // but a final one, and leaves that out of the value).
        const QStringRef line = lines.at(i);
        QStringRef name, value;
        if (!SipGrammar::matchHeaderLine(line, name, value)
            || value.position() + value.size() != line.position() + line.size()
            || value.contains(QLatin1Char('\r')))
            continue;
        // A value of blanks alone (U+0085 is one, though the line's grammar does not count it)
        // is as empty as no value: kept, it would be written as a line that reads back as none.
        const QStringRef trimmed = trimmedText(value);
        if (!trimmed.isEmpty())
            headers[headerType(name)].append(trimmed.toString());
    }
    refreshFields();

    const auto callIds = headers.constFind(SipHeader::CallID);
    if (callIds == headers.constEnd() || callIds->size() != 1) {
        parseError = QStringLiteral("Multiple header field CallID");
        return;
    }
    const QStringList cseq = headers.value(SipHeader::CSeq);
    if (cseq.size() != 1) {
        parseError = QStringLiteral("Multiple header field CSeq");
        return;
    }
    QStringRef number, method;
    if (!SipGrammar::matchCSeq(QStringRef(&cseq.first()), number, method)) {
        parseError = QStringLiteral("Bad CSeq field (%1).").arg(cseq.first());
        return;
    }
    const QStringList from = headers.value(SipHeader::From);
    if (from.size() != 1) {
        parseError = QStringLiteral("Multiple header field From");
        return;
    }
    const SipAddressView *fromView = m_fields.from.of(&from.first());
    if (fromView == nullptr || !fromView->address.valid) {
        parseError = QStringLiteral("Bad From field (%1).").arg(from.first());
        return;
    }

    if (headEnd >= 0)
        body = datagram.mid(headEnd + 4);
    valid = true;
    if (contentLength() != 0)
        valid = !body.isEmpty();
}
