#include "http/httpobject.h"

#include "core/env.h"
#include "core/timescale.h"
#include "http/qhttpserver/qhttpserver.h"
#include "http/responder.h"

#include <QHostInfo>
#include <QTimer>

HttpObject::HttpObject(const QString &bindAddress, quint16 bindPort, bool logProtocol,
                       QObject *parent)
    : AttendedThreadObject(parent)
    , m_BindAddress(bindAddress)
    , m_BindPort(bindPort)
    , m_LogProtocol(logProtocol)
{
    qRegisterMetaType<QHostAddress>("QHostAddress");
    qRegisterMetaType<HttpConnectionState>("HttpConnectionState");
    qRegisterMetaType<QAbstractSocket::SocketError>("QAbstractSocket::SocketError");
    setObjectName(QStringLiteral("HttpObject"));
}

HttpObject::~HttpObject()
{
    logLine(LogParams::Http, QStringLiteral("Stopped"));
}

void HttpObject::reportState(HttpConnectionState state, QAbstractSocket::SocketError error,
                             const QString &errorString)
{
    emit setConnectionState(state, error, errorString);
}

// The attempts are steps on this thread's event loop rather than a loop of its own, so a stop
// (the thread's loop quits) ends them at once.
void HttpObject::retry(void (HttpObject::*step)())
{
    QTimer::singleShot(TimeScale::toRealInt(retryMs), this, step);
}

void HttpObject::run()
{
    logLine(LogParams::Http, QStringLiteral("Starting ..."));
    reportState(HttpNotRunning);
    m_Server = new QHttpServer(this);
    reportState(HttpResolving);
    m_ListenAddress = QHostAddress(QHostAddress::AnyIPv4);
    if (m_BindAddress != QLatin1String("0.0.0.0"))
        resolveStep();
    else
        bindStep();
}

void HttpObject::resolveStep()
{
    if (terminate) {
        reportState(HttpNotRunning);
        return;
    }
    const QHostInfo info = QHostInfo::fromName(m_BindAddress);
    for (const QHostAddress &address : info.addresses()) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol) {
            m_ListenAddress = address;
            bindStep();
            return;
        }
    }
    if (!m_LookupFailed) {
        m_LookupFailed = true;
        reportState(HttpUnresolved);
        logLine(LogParams::Http, QStringLiteral("Unable lookup host %1").arg(m_BindAddress));
    }
    retry(&HttpObject::resolveStep);
}

void HttpObject::bindStep()
{
    if (!m_BindFailed) {
        reportState(HttpBinding);
        logLine(LogParams::Http,
                QStringLiteral("Wait for listen on TCP %1:%2")
                    .arg(m_ListenAddress.toString())
                    .arg(m_BindPort));
    }
    if (terminate) {
        reportState(HttpNotRunning);
        return;
    }
    if (!m_Server->listen(m_ListenAddress, m_BindPort)) {
        reportState(HttpBinding, m_Server->serverError(), m_Server->errorString());
        if (!m_BindFailed) {
            m_BindFailed = true;
            logLine(LogParams::Http,
                    QStringLiteral("Unable to bind TCP socket %1:%2 (SocketError %3: %4)")
                        .arg(m_ListenAddress.toString())
                        .arg(m_BindPort)
                        .arg(int(m_Server->serverError()))
                        .arg(m_Server->errorString()));
        }
        retry(&HttpObject::bindStep);
        return;
    }
    connect(m_Server, &QHttpServer::newRequest, this, &HttpObject::handleRequest);
    logLine(LogParams::Http,
            QStringLiteral("Listen on TCP %2:%3")
                .arg(m_ListenAddress.toString())
                .arg(m_Server->serverPort()));
    reportState(HttpListening);
    logLine(LogParams::Http, QStringLiteral("Started"));
}

void HttpObject::handleRequest(QHttpRequest *req, QHttpResponse *resp)
{
    auto *responder = new Responder(m_LogProtocol, req, resp, this);
    connect(responder, &Responder::checkRequest, this, &HttpObject::checkRequest,
            Qt::QueuedConnection);
}

void HttpObject::onResultRequest(QString responderName, QHttpResponse::StatusCode code,
                                 HeaderHash headers, QByteArray body)
{
    if (responderName.isEmpty())
        return;
    auto *responder = findChild<Responder *>(responderName, Qt::FindDirectChildrenOnly);
    if (responder)
        responder->writeResult(code, headers, body);
}

void HttpObject::onHoldRequest(QString responderName, qint64 ms)
{
    if (responderName.isEmpty())
        return;
    if (auto *responder = findChild<Responder *>(responderName, Qt::FindDirectChildrenOnly))
        responder->holdFor(ms);
}
