#include "http/responder.h"

#include "core/env.h"
#include "core/timescale.h"
#include "http/qhttpserver/qhttpserver.h"

#include <QStringList>
#include <QTimer>

namespace {

// Touched only in the worker's thread.
quint64 responderCounter = 0;

QString headerLines(const HeaderHash &headers)
{
    QStringList lines;
    for (auto it = headers.cbegin(); it != headers.cend(); ++it)
        lines << QStringLiteral("%1: %2").arg(it.key(), it.value());
    return lines.join(QLatin1Char('\n'));
}

} // namespace

Responder::Responder(bool logProtocol, QHttpRequest *request, QHttpResponse *response,
                     QObject *parent)
    : QObject(parent)
    , m_id(++responderCounter)
    , m_logProtocol(logProtocol)
    , m_request(request)
    , m_response(response)
    , m_remoteAddress(request->remoteAddress())
    , m_remotePort(request->remotePort())
    , m_method(request->method())
    , m_url(request->url())
    , m_headers(request->headers())
    , m_body(request->body())
    , m_expiry(this)
{
    qRegisterMetaType<QHttpResponse::StatusCode>("QHttpResponse::StatusCode");
    setObjectName(QStringLiteral("Responder_%2").arg(m_id));

    connect(request, &QHttpRequest::data, this, &Responder::accumulate, Qt::QueuedConnection);
    connect(request, &QHttpRequest::end, this, &Responder::reply, Qt::QueuedConnection);
    connect(response, &QHttpResponse::done, this, &QObject::deleteLater, Qt::QueuedConnection);
    connect(this, &Responder::setHeader, response, &QHttpResponse::setHeader, Qt::QueuedConnection);
    connect(this, &Responder::writeHead, response, qOverload<int>(&QHttpResponse::writeHead),
            Qt::QueuedConnection);
    connect(this, &Responder::write, response, &QHttpResponse::write, Qt::QueuedConnection);
    connect(this, qOverload<QByteArray>(&Responder::end), response,
            qOverload<const QByteArray &>(&QHttpResponse::end), Qt::QueuedConnection);

    m_expiry.setSingleShot(true);
    connect(&m_expiry, &QTimer::timeout, this, &Responder::expire);
    m_expiry.start(TimeScale::toRealInt(lifeMs));
}

void Responder::holdFor(qint64 ms)
{
    if (!m_answered)
        m_expiry.start(TimeScale::toRealInt(ms));
}

Responder::~Responder()
{
    delete m_request;
}

void Responder::accumulate(QByteArray data)
{
    m_data.append(data);
}

QString Responder::methodKey() const
{
    return QHttpRequest::MethodToString(m_method).remove(QStringLiteral("HTTP_"));
}

void Responder::reply()
{
    emit checkRequest(objectName(), m_remoteAddress, m_remotePort, m_method, m_url, m_headers,
                      m_body, m_data);
    if (m_logProtocol) {
        logLine(LogParams::Http,
                QStringLiteral("Request %1: %2:%3 %4 %5\n%6\n%7\n")
                    .arg(m_id)
                    .arg(m_remoteAddress)
                    .arg(m_remotePort)
                    .arg(methodKey(), m_url.toString(), headerLines(m_headers),
                         QString::fromUtf8(m_data.constData())));
    }
}

void Responder::writeResult(QHttpResponse::StatusCode code, const HeaderHash &headers,
                            const QByteArray &body)
{
    if (m_answered)
        return;
    m_answered = true;
    for (auto it = headers.cbegin(); it != headers.cend(); ++it)
        emit setHeader(it.key(), it.value());
    emit writeHead(int(code));
    emit end(body);
    if (m_logProtocol) {
        logLine(LogParams::Http,
                QStringLiteral("Response %1: %2:%3 %4 %5\nHTTP/1.1 %6 %7\n%8\n")
                    .arg(m_id)
                    .arg(m_remoteAddress)
                    .arg(m_remotePort)
                    .arg(methodKey(), m_url.toString())
                    .arg(int(code))
                    .arg(QHttpServer::statusText(int(code)), headerLines(headers)));
    }
}

void Responder::expire()
{
    // Every request gets an answer, also one the module never answered.
    writeResult(QHttpResponse::STATUS_SERVICE_UNAVAILABLE, HeaderHash(), QByteArray());
    deleteLater();
}
