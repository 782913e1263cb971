#include "http/qhttpserver/qhttpserver.h"

#include "http/qhttpserver/httplimits.h"
#include "http/qhttpserver/qhttpconnection.h"
#include "http/qhttpserver/qhttprequest.h"
#include "http/qhttpserver/qhttpresponse.h"

#include <QHash>
#include <QTcpServer>
#include <QTcpSocket>

namespace {

const QHash<int, QString> &statusCodes()
{
    static const QHash<int, QString> table = {
        { 100, QStringLiteral("Continue") },
        { 101, QStringLiteral("Switching Protocols") },
        { 102, QStringLiteral("Processing") },
        { 200, QStringLiteral("OK") },
        { 201, QStringLiteral("Created") },
        { 202, QStringLiteral("Accepted") },
        { 203, QStringLiteral("Non-Authoritative Information") },
        { 204, QStringLiteral("No Content") },
        { 205, QStringLiteral("Reset Content") },
        { 206, QStringLiteral("Partial Content") },
        { 207, QStringLiteral("Multi-Status") },
        { 300, QStringLiteral("Multiple Choices") },
        { 301, QStringLiteral("Moved Permanently") },
        { 302, QStringLiteral("Moved Temporarily") },
        { 303, QStringLiteral("See Other") },
        { 304, QStringLiteral("Not Modified") },
        { 305, QStringLiteral("Use Proxy") },
        { 307, QStringLiteral("Temporary Redirect") },
        { 400, QStringLiteral("Bad Request") },
        { 401, QStringLiteral("Unauthorized") },
        { 402, QStringLiteral("Payment Required") },
        { 403, QStringLiteral("Forbidden") },
        { 404, QStringLiteral("Not Found") },
        { 405, QStringLiteral("Method Not Allowed") },
        { 406, QStringLiteral("Not Acceptable") },
        { 407, QStringLiteral("Proxy Authentication Required") },
        { 408, QStringLiteral("Request Time-out") },
        { 409, QStringLiteral("Conflict") },
        { 410, QStringLiteral("Gone") },
        { 411, QStringLiteral("Length Required") },
        { 412, QStringLiteral("Precondition Failed") },
        { 413, QStringLiteral("Request Entity Too Large") },
        { 414, QStringLiteral("Request-URI Too Large") },
        { 415, QStringLiteral("Unsupported Media Type") },
        { 416, QStringLiteral("Requested Range Not Satisfiable") },
        { 417, QStringLiteral("Expectation Failed") },
        { 418, QStringLiteral("I\"m a teapot") },
        { 422, QStringLiteral("Unprocessable Entity") },
        { 423, QStringLiteral("Locked") },
        { 424, QStringLiteral("Failed Dependency") },
        { 425, QStringLiteral("Unordered Collection") },
        { 426, QStringLiteral("Upgrade Required") },
        { 500, QStringLiteral("Internal Server Error") },
        { 501, QStringLiteral("Not Implemented") },
        { 502, QStringLiteral("Bad Gateway") },
        { 503, QStringLiteral("Service Unavailable") },
        { 504, QStringLiteral("Gateway Time-out") },
        { 505, QStringLiteral("HTTP Version not supported") },
        { 506, QStringLiteral("Variant Also Negotiates") },
        { 507, QStringLiteral("Insufficient Storage") },
        { 509, QStringLiteral("Bandwidth Limit Exceeded") },
        { 510, QStringLiteral("Not Extended") },
    };
    return table;
}

} // namespace

QHttpServer::QHttpServer(QObject *parent)
    : QObject(parent)
{
}

QString QHttpServer::statusText(int code)
{
    return statusCodes().value(code);
}

bool QHttpServer::listen(const QHostAddress &address, quint16 port)
{
    delete m_tcpServer;
    m_tcpServer = new QTcpServer(this);
    if (!m_tcpServer->listen(address, port)) {
        // Kept, since the listener that knew them goes.
        m_lastError = m_tcpServer->serverError();
        m_lastErrorString = m_tcpServer->errorString();
        delete m_tcpServer;
        m_tcpServer = nullptr;
        return false;
    }
    connect(m_tcpServer, &QTcpServer::newConnection, this, &QHttpServer::newConnection);
    return true;
}

bool QHttpServer::listen(quint16 port)
{
    return listen(QHostAddress::Any, port);
}

bool QHttpServer::isListening() const
{
    return m_tcpServer && m_tcpServer->isListening();
}

QAbstractSocket::SocketError QHttpServer::serverError() const
{
    return m_tcpServer ? m_tcpServer->serverError() : m_lastError;
}

QString QHttpServer::errorString() const
{
    return m_tcpServer ? m_tcpServer->errorString() : m_lastErrorString;
}

quint16 QHttpServer::serverPort() const
{
    return m_tcpServer ? m_tcpServer->serverPort() : 0;
}

void QHttpServer::newConnection()
{
    while (m_tcpServer && m_tcpServer->hasPendingConnections()) {
        QTcpSocket *socket = m_tcpServer->nextPendingConnection();
        if (m_connections >= HttpLimits::maxConnections) {
            // Answered, not just dropped: the peer learns that it should come back later.
            socket->write("HTTP/1.1 503 Service Unavailable\r\nConnection: close\r\n"
                          "Content-Length: 0\r\n\r\n");
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            socket->disconnectFromHost();
            continue;
        }
        auto *connection = new QHttpConnection(socket, this);
        ++m_connections;
        connect(connection, &QObject::destroyed, this, [this] { --m_connections; });
        connect(connection, &QHttpConnection::newRequest, this, &QHttpServer::newRequest);
    }
}
