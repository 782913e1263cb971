#include "http/qhttpserver/qhttpconnection.h"

#include "core/timescale.h"
#include "http/qhttpserver/httplimits.h"
#include "http/qhttpserver/qhttprequest.h"
#include "http/qhttpserver/qhttpresponse.h"

#include <QHostAddress>
#include <QTcpSocket>

#include <http_parser.h>

namespace {

QHttpConnection *self(http_parser *parser)
{
    return static_cast<QHttpConnection *>(parser->data);
}

QString urlPart(const QByteArray &target, const http_parser_url &fields, int field)
{
    if (!(fields.field_set & (1 << field)))
        return QString();
    return QString::fromUtf8(target.constData() + fields.field_data[field].off,
                             fields.field_data[field].len);
}

} // namespace

QHttpConnection::QHttpConnection(QTcpSocket *socket, QObject *parent)
    : QObject(parent)
    , m_socket(socket)
    , m_parser(new http_parser)
    , m_parserSettings(new http_parser_settings)
    , m_idle(this)
{
    // The connection owns its socket, whatever order the listener and it are destroyed in.
    if (m_socket)
        m_socket->setParent(this);
    http_parser_init(m_parser, HTTP_REQUEST);
    m_parser->data = this;

    http_parser_settings_init(m_parserSettings);
    m_parserSettings->on_message_begin = MessageBegin;
    m_parserSettings->on_url = Url;
    m_parserSettings->on_header_field = HeaderField;
    m_parserSettings->on_header_value = HeaderValue;
    m_parserSettings->on_headers_complete = HeadersComplete;
    m_parserSettings->on_body = Body;
    m_parserSettings->on_message_complete = MessageComplete;
    m_parserSettings->on_chunk_header = ChunkHeader;

    if (m_socket) {
        connect(m_socket, &QTcpSocket::readyRead, this, &QHttpConnection::parseRequest);
        connect(m_socket, &QTcpSocket::disconnected, this, &QHttpConnection::socketDisconnected);
        connect(m_socket, &QTcpSocket::bytesWritten, this, &QHttpConnection::updateWriteCount);
    }

    m_idle.setSingleShot(true);
    connect(&m_idle, &QTimer::timeout, this, &QHttpConnection::idleTimeout);
    m_idle.start(TimeScale::toRealInt(HttpLimits::idleMs));
}

QHttpConnection::~QHttpConnection()
{
    if (QTcpSocket *socket = m_socket) {
        m_socket = nullptr;
        socket->disconnect(this);
        delete socket;
    }
    delete m_parser;
    delete m_parserSettings;
    if (!m_requestAnnounced)
        delete m_request.data();
}

void QHttpConnection::write(const QByteArray &data)
{
    if (!m_socket)
        return;
    m_socket->write(data);
    m_transmitLen += quint64(data.size());
}

bool QHttpConnection::awaitingAnswer() const
{
    return m_response && !m_response->isFinished();
}

void QHttpConnection::parseRequest()
{
    // Paused: a complete request waits for its answer (body bytes of an announced request are
    // still read, since its consumer answers only after its end).
    while (!m_closing && HTTP_PARSER_ERRNO(m_parser) != HPE_PAUSED) {
        QByteArray chunk;
        if (!m_unparsed.isEmpty())
            chunk.swap(m_unparsed);
        else if (m_socket)
            chunk = m_socket->read(HttpLimits::readChunk);
        if (chunk.isEmpty())
            return;

        const size_t parsed = http_parser_execute(m_parser, m_parserSettings, chunk.constData(),
                                                  size_t(chunk.size()));
        const auto error = http_errno(HTTP_PARSER_ERRNO(m_parser));
        if (error == HPE_PAUSED) {
            // One complete request is with its consumer; the rest waits for the answer.
            m_unparsed = chunk.mid(int(parsed));
            return;
        }
        if (error != HPE_OK) {
            reject(m_failStatus ? m_failStatus : 400);
            return;
        }
    }
}

void QHttpConnection::feed(const QByteArray &bytes)
{
    m_unparsed += bytes;
    parseRequest();
}

void QHttpConnection::reject(int status)
{
    m_closing = true;
    m_unparsed.clear();
    m_idle.stop();
    if (!m_requestAnnounced) {
        delete m_request.data();
        m_request = nullptr;
    }
    // A request already handed out is answered on its own response; its consumer learns of
    // the end through that response's done().
    QHttpResponse *response = awaitingAnswer() ? m_response.data() : new QHttpResponse(this);
    if (!awaitingAnswer()) {
        m_response = response;
        connect(response, &QHttpResponse::done, this, &QHttpConnection::responseDone);
    }
    response->setHeader(QStringLiteral("Connection"), QStringLiteral("close"));
    response->writeHead(status);
    response->end();
}

void QHttpConnection::responseDone()
{
    auto *response = qobject_cast<QHttpResponse *>(sender());
    if (m_closing || (response && response->isLast())) {
        m_closing = true;
        if (m_socket)
            m_socket->disconnectFromHost();
        return;
    }
    m_idle.start(TimeScale::toRealInt(HttpLimits::idleMs));
    if (HTTP_PARSER_ERRNO(m_parser) == HPE_PAUSED)
        http_parser_pause(m_parser, 0);
    QMetaObject::invokeMethod(this, &QHttpConnection::parseRequest, Qt::QueuedConnection);
}

void QHttpConnection::socketDisconnected()
{
    m_closing = true;
    deleteLater();
    if (m_socket) {
        m_socket->deleteLater();
        m_socket = nullptr;
    }
}

void QHttpConnection::updateWriteCount(qint64 count)
{
    m_transmitPos += quint64(count);
    if (m_transmitPos == m_transmitLen) {
        m_transmitLen = 0;
        m_transmitPos = 0;
        emit allBytesWritten();
    }
}

void QHttpConnection::idleTimeout()
{
    if (awaitingAnswer() || !m_socket)
        return;
    if (m_inMessage) {
        reject(408);
    } else {
        m_closing = true;
        m_socket->disconnectFromHost();
    }
}

int QHttpConnection::fail(int status)
{
    m_failStatus = status;
    return -1;
}

void QHttpConnection::storePendingHeader()
{
    if (m_currentHeaderField.isEmpty() && m_currentHeaderValue.isEmpty())
        return;
    m_currentHeaders[m_currentHeaderField.toLower()] = m_currentHeaderValue;
    m_currentHeaderField.clear();
    m_currentHeaderValue.clear();
}

int QHttpConnection::MessageBegin(http_parser *parser)
{
    QHttpConnection *c = self(parser);
    c->m_currentHeaders.clear();
    c->m_currentUrl.clear();
    c->m_currentUrl.reserve(128);
    c->m_currentHeaderField.clear();
    c->m_currentHeaderValue.clear();
    c->m_headerBytes = 0;
    c->m_headerCount = 0;
    c->m_bodyBytes = 0;
    c->m_inMessage = true;
    c->m_requestAnnounced = false;
    c->m_request = new QHttpRequest(c);
    c->m_idle.start(TimeScale::toRealInt(HttpLimits::idleMs));
    return 0;
}

int QHttpConnection::Url(http_parser *parser, const char *at, size_t length)
{
    QHttpConnection *c = self(parser);
    if (size_t(c->m_currentUrl.size()) + length > size_t(HttpLimits::maxUrlBytes))
        return c->fail(414);
    c->m_currentUrl.append(at, int(length));
    return 0;
}

int QHttpConnection::HeaderField(http_parser *parser, const char *at, size_t length)
{
    QHttpConnection *c = self(parser);
    c->m_headerBytes += int(length);
    if (!c->m_currentHeaderField.isEmpty() && !c->m_currentHeaderValue.isEmpty()) {
        c->m_currentHeaders[c->m_currentHeaderField.toLower()] = c->m_currentHeaderValue;
        c->m_currentHeaderField.clear();
        c->m_currentHeaderValue.clear();
    }
    if (c->m_currentHeaderField.isEmpty())
        ++c->m_headerCount;
    if (c->m_headerBytes > HttpLimits::maxHeaderBytes
        || c->m_headerCount > HttpLimits::maxHeaderCount)
        return c->fail(400);
    c->m_currentHeaderField.append(QString::fromLatin1(at, int(length)));
    return 0;
}

int QHttpConnection::HeaderValue(http_parser *parser, const char *at, size_t length)
{
    QHttpConnection *c = self(parser);
    c->m_headerBytes += int(length);
    if (c->m_headerBytes > HttpLimits::maxHeaderBytes)
        return c->fail(400);
    c->m_currentHeaderValue.append(QString::fromLatin1(at, int(length)));
    return 0;
}

int QHttpConnection::HeadersComplete(http_parser *parser)
{
    QHttpConnection *c = self(parser);
    if (!c->m_request)
        return c->fail(500);
    if (parser->content_length != ULLONG_MAX
        && parser->content_length > quint64(HttpLimits::maxBodyBytes))
        return c->fail(413);

    QHttpRequest *request = c->m_request;
    request->m_method = QHttpRequest::HttpMethod(parser->method);
    request->m_version = QStringLiteral("%1.%2").arg(parser->http_major).arg(parser->http_minor);
    request->m_url = createUrl(c->m_currentUrl, parser->method == HTTP_CONNECT);
    c->storePendingHeader();
    request->m_headers = c->m_currentHeaders;
    if (c->m_socket) {
        request->m_remoteAddress = c->m_socket->peerAddress().toString();
        request->m_remotePort = c->m_socket->peerPort();
    }

    auto *response = new QHttpResponse(c);
    if (parser->http_major == 0 || parser->http_minor == 0)
        response->setKeepAlive(false);
    connect(c, &QObject::destroyed, response, &QHttpResponse::connectionClosed);
    connect(response, &QHttpResponse::done, c, &QHttpConnection::responseDone);
    connect(c, &QHttpConnection::allBytesWritten, response, &QHttpResponse::allBytesWritten);
    c->m_response = response;
    c->m_requestAnnounced = true;
    // The consumer answers; until then the idle limit does not apply.
    c->m_idle.stop();
    emit c->newRequest(request, response);
    return 0;
}

int QHttpConnection::Body(http_parser *parser, const char *at, size_t length)
{
    QHttpConnection *c = self(parser);
    c->m_bodyBytes += qint64(length);
    if (c->m_bodyBytes > HttpLimits::maxBodyBytes)
        return c->fail(413);
    if (c->m_request)
        emit c->m_request->data(QByteArray(at, int(length)));
    return 0;
}

int QHttpConnection::ChunkHeader(http_parser *parser)
{
    // A chunk announces its size first: refuse it before its bytes arrive.
    QHttpConnection *c = self(parser);
    if (parser->content_length > quint64(HttpLimits::maxBodyBytes - c->m_bodyBytes))
        return c->fail(413);
    return 0;
}

int QHttpConnection::MessageComplete(http_parser *parser)
{
    QHttpConnection *c = self(parser);
    c->m_inMessage = false;
    if (c->m_request) {
        c->m_request->m_success = true;
        emit c->m_request->end();
    }
    c->m_request = nullptr;
    if (c->awaitingAnswer())
        http_parser_pause(parser, 1);
    return 0;
}

QUrl QHttpConnection::createUrl(const QByteArray &target, bool connectMethod)
{
    http_parser_url fields;
    http_parser_url_init(&fields);
    QUrl url;
    if (http_parser_parse_url(target.constData(), size_t(target.size()), connectMethod ? 1 : 0,
                              &fields)
        != 0)
        return url;
    url.setScheme(urlPart(target, fields, UF_SCHEMA));
    url.setHost(urlPart(target, fields, UF_HOST), QUrl::DecodedMode);
    // Tolerant: escapes stay escapes, so the decoded path is what the peer meant, ".." included.
    url.setPath(urlPart(target, fields, UF_PATH), QUrl::TolerantMode);
    url.setQuery(urlPart(target, fields, UF_QUERY), QUrl::TolerantMode);
    url.setFragment(urlPart(target, fields, UF_FRAGMENT), QUrl::TolerantMode);
    url.setUserInfo(urlPart(target, fields, UF_USERINFO), QUrl::TolerantMode);
    if (fields.field_set & (1 << UF_PORT))
        url.setPort(fields.port);
    return url;
}
