#include "rtsp/rtspmessage.h"

#include "sip/message/sipconstants.h"

#include <QRegularExpression>

#include <algorithm>

#include <atomic>

namespace {

const char *const kHeaderNames[RtspMessage::HeaderCount] = {
    "Accept",
    "Accept-Encoding",
    "Accept-Language",
    "Alert-Info",
    "Allow",
    "Authentication-Info",
    "Authorization",
    "CSeq",
    "Cache-Control",
    "Call-ID",
    "Call-Info",
    "Contact",
    "Content-Base",
    "Content-Disposition",
    "Content-Encoding",
    "Content-Language",
    "Content-Length",
    "Content-Type",
    "Date",
    "Diversion",
    "Error-Info",
    "Expires",
    "Event",
    "From",
    "In-Reply-To",
    "MIME-Version",
    "Max-Forwards",
    "Min-Expires",
    "Min-SE",
    "Organization",
    "Priority",
    "Proxy-Authenticate",
    "Proxy-Authorization",
    "Proxy-Require",
    "Public",
    "Proxy-Route",
    "Range",
    "Record-Route",
    "Refer-To",
    "Reply-To",
    "Require",
    "Retry-After",
    "Route",
    "Server",
    "Session",
    "Session-Expires",
    "Subject",
    "Subscription-State",
    "Supported",
    "Timestamp",
    "Transport",
    "To",
    "Unsupported",
    "User-Agent",
    "Via",
    "WWW-Authenticate",
    "Warning",
};

struct Compact
{
    char letter;
    RtspMessage::Header type;
};

const Compact kCompactForms[] = {
    { 'i', RtspMessage::CallID },
    { 'm', RtspMessage::Contact },
    { 'e', RtspMessage::ContentEncoding },
    { 'l', RtspMessage::ContentLength },
    { 'c', RtspMessage::ContentType },
    { 'f', RtspMessage::From },
    { 's', RtspMessage::Subject },
    { 'k', RtspMessage::Supported },
    { 't', RtspMessage::To },
    { 'v', RtspMessage::Via },
};

const char *const kMethodNames[] = {
    "DESCRIBE", "OPTIONS",  "PLAY",          "PAUSE",         "RECORD",   "REDIRECT",
    "SETUP",    "ANNOUNCE", "GET_PARAMETER", "SET_PARAMETER", "TEARDOWN",
};

// The CSeq number of the next request of the process; every camera session draws from it.
std::atomic<uint> g_sequenceId { 1 };

const QString kUserAgent = QStringLiteral("Corvane Tarnhall Server");

uint unsignedOrZero(const QString &text)
{
    bool ok = false;
    const uint value = text.toUInt(&ok);
    return ok ? value : 0;
}

} // namespace

RtspMessage::RtspMessage()
    : m_version(RTSPVER)
{
}

RtspMessage::RtspMessage(Method method, const QString &uri)
    : m_kind(0)
    , m_version(RTSPVER)
    , m_method(method)
    , m_uri(uri)
    , m_valid(true)
{
    setHeader(CSeq, QString::number(g_sequenceId.fetch_add(1)));
    setHeader(UserAgent, kUserAgent);
}

RtspMessage::RtspMessage(const QByteArray &data)
    : m_version(RTSPVER)
{
    parse(data);
}

QString RtspMessage::methodName(int method)
{
    return method >= 0 && method <= Teardown ? QString::fromLatin1(kMethodNames[method])
                                             : QString();
}

QString RtspMessage::headerName(int type)
{
    return type >= 0 && type < HeaderCount ? QString::fromLatin1(kHeaderNames[type]) : QString();
}

int RtspMessage::headerType(const QString &name)
{
    if (name.isEmpty())
        return Unknown;
    for (int i = 0; i < HeaderCount; ++i) {
        if (name.compare(QLatin1String(kHeaderNames[i]), Qt::CaseInsensitive) == 0)
            return i;
    }
    if (name.size() == 1) {
        const char letter = name.at(0).toLower().toLatin1();
        for (const Compact &form : kCompactForms) {
            if (form.letter == letter)
                return form.type;
        }
    }
    return Unknown;
}

QStringList RtspMessage::headerValues(Header type) const
{
    const QString name = headerName(type).trimmed();
    QStringList values;
    if (name.isEmpty())
        return values;
    for (auto it = m_headers.cbegin(); it != m_headers.cend(); ++it) {
        if (it.key().compare(name, Qt::CaseInsensitive) == 0)
            values += it.value();
    }
    return values;
}

QString RtspMessage::headerValue(Header type, int index) const
{
    const QStringList values = headerValues(type);
    return index >= 0 && index < values.size() ? values.at(index) : QString();
}

void RtspMessage::setHeader(Header type, const QString &value)
{
    const QString name = headerName(type).trimmed();
    if (name.isEmpty())
        return;
    QStringList &values = m_headers[name];
    if (values.isEmpty())
        values.append(value);
    else
        values[0] = value;
}

uint RtspMessage::cseq() const
{
    static const QRegularExpression digits(QStringLiteral("^(\\d+)$"));
    const QStringList values = headerValues(CSeq);
    if (values.size() != 1)
        return 0;
    const QRegularExpressionMatch match = digits.match(values.first());
    return match.hasMatch() ? unsignedOrZero(match.captured(1)) : 0;
}

uint RtspMessage::contentLength() const
{
    const QStringList values = headerValues(ContentLength);
    return values.size() == 1 ? unsignedOrZero(values.first()) : 0;
}

QString RtspMessage::contentBase() const
{
    const QStringList values = headerValues(ContentBase);
    return values.size() == 1 ? values.first() : QString();
}

QString RtspMessage::session() const
{
    const QString value = headerValue(Session, 0);
    return value.isEmpty() ? QString() : value.section(QLatin1Char(';'), 0, 0);
}

uint RtspMessage::sessionTimeout() const
{
    const QStringList parts = headerValue(Session, 0).split(QLatin1Char(';'));
    for (int i = 1; i < parts.size(); ++i) {
        const QString part = parts.at(i).trimmed();
        if (part.startsWith(QLatin1String("timeout="), Qt::CaseInsensitive))
            return unsignedOrZero(part.mid(8).trimmed());
    }
    return 0;
}

QString RtspMessage::statusCodeText(int index)
{
    return ::statusCodeText(SipStatus::Type(index));
}

int RtspMessage::statusFromCode(const QString &text)
{
    bool ok = false;
    const int number = text.toInt(&ok);
    if (text.isEmpty() || !ok || number <= 0)
        return SipStatus::Unknown;
    for (int i = 0; i < SipStatus::Count; ++i) {
        if (statusCodeText(i) == text)
            return i;
    }
    return SipStatus::ServerInternalError;
}

int RtspMessage::statusClass(int index)
{
    const int cls = statusCodeText(index).toInt() / 100;
    return cls >= 1 && cls <= 6 ? cls : -1;
}

int RtspMessage::headEnd(const QByteArray &data, int *separatorLength)
{
    const int lf = data.indexOf("\n\n");
    const int crlf = data.indexOf("\r\n\r\n");
    if (lf < 0 && crlf < 0)
        return -1;
    const bool useCrlf = crlf >= 0 && (lf < 0 || crlf < lf);
    if (separatorLength)
        *separatorLength = useCrlf ? 4 : 2;
    return useCrlf ? crlf : lf;
}

void RtspMessage::parse(const QByteArray &data)
{
    static const QRegularExpression statusLine(
        QStringLiteral("^[Rr][Tt][Ss][Pp]/(\\d+\\.\\d+)\\s+(\\d+)\\s+(\\S.+)$"));
    static const QRegularExpression headerLine(QStringLiteral("^([-\\w]+):\\s*(\\S.*)$"));

    // The body is whatever follows the first empty line, byte for byte: an SDP may hold
    // empty lines of its own, and a binary body NUL bytes.
    int separator = 0;
    const int end = headEnd(data, &separator);
    QString head = QString::fromUtf8(end < 0 ? data : data.left(end));
    head.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    head.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    QStringList lines = head.split(QLatin1Char('\n'));
    if (lines.isEmpty()) {
        m_error = QStringLiteral("No initial line.");
        return;
    }

    const QString first = lines.takeFirst();
    const QRegularExpressionMatch start = statusLine.match(first);
    if (!start.hasMatch()) {
        m_error = QStringLiteral("Unspecified initial line (%1).").arg(first);
        return;
    }
    const int status = statusFromCode(start.captured(2));
    if (status < 0) {
        m_error = QStringLiteral("Bad response code (%1).").arg(first);
        return;
    }
    m_kind = 1;
    m_version = start.captured(1);
    m_status = SipStatus::Type(status);
    m_reason = start.captured(3).trimmed();
    m_statusClass = statusClass(status);
    if (m_version != RTSPVER) {
        m_error = QStringLiteral("Bad RTSP Version (%1).").arg(first);
        return;
    }

    for (const QString &line : qAsConst(lines)) {
        const QRegularExpressionMatch match = headerLine.match(line);
        if (match.hasMatch())
            m_headers[match.captured(1).trimmed()].append(match.captured(2).trimmed());
    }

    const QStringList cseqs = headerValues(CSeq);
    if (cseqs.size() != 1) {
        m_error = QStringLiteral("Multiple header field CSeq");
        return;
    }
    static const QRegularExpression digits(QStringLiteral("^(\\d+)$"));
    if (!digits.match(cseqs.first()).hasMatch()) {
        m_error = QStringLiteral("Bad CSeq field (%1).").arg(cseqs.first());
        return;
    }

    if (end >= 0)
        m_body = data.mid(end + separator);
    m_valid = true;
    const uint length = contentLength();
    if (length != 0 && length != uint(m_body.size()))
        m_valid = false;
}

QByteArray RtspMessage::toByteArray() const
{
    if (!m_valid)
        return QByteArray();
    QHash<QString, QStringList> rest = m_headers;
    QString text;
    auto writeLines = [&text](const QString &name, const QStringList &values) {
        for (const QString &value : values)
            text += QStringLiteral("%1: %2").arg(name, value) + ENDL;
    };

    if (m_kind == 0)
        text += QStringLiteral("%1 %2 RTSP/%3").arg(methodName(m_method), m_uri, m_version) + ENDL;
    else if (m_kind == 1)
        text += QStringLiteral("RTSP/%1 %2 %3").arg(m_version, statusCodeText(m_status), m_reason)
            + ENDL;

    const QString cseqName = headerName(CSeq);
    writeLines(cseqName, rest.take(cseqName));

    static const Header kContentLast[]
        = { ContentDisposition, ContentEncoding, ContentLanguage, ContentType };
    for (auto it = rest.cbegin(); it != rest.cend(); ++it) {
        const int type = headerType(it.key());
        if (type == ContentLength
            || std::find(std::begin(kContentLast), std::end(kContentLast), type)
                != std::end(kContentLast))
            continue;
        writeLines(it.key(), it.value());
    }
    for (Header type : kContentLast) {
        const QString name = headerName(type);
        writeLines(name, rest.take(name));
    }
    text += ENDL;
    return text.toUtf8() + m_body;
}
