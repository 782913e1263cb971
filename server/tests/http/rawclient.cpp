#include "rawclient.h"

#include <QEventLoop>
#include <QHostAddress>
#include <QTimer>

RawClient::RawClient(quint16 port)
{
    QObject::connect(&m_socket, &QTcpSocket::readyRead, [this] { m_buffer += m_socket.readAll(); });
    QObject::connect(&m_socket, &QTcpSocket::disconnected, [this] { m_closed = true; });
    // Not waited for here: the server may live in this very thread.
    m_socket.connectToHost(QHostAddress::LocalHost, port);
}

bool RawClient::waitConnected(int timeoutMs)
{
    return waitUntil([&] { return isConnected() || m_closed; }, timeoutMs) && isConnected();
}

void RawClient::send(const QByteArray &bytes)
{
    m_socket.write(bytes);
}

bool RawClient::waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    if (done())
        return true;
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    auto check = [&] {
        if (done())
            loop.quit();
    };
    const auto a
        = QObject::connect(&m_socket, &QTcpSocket::readyRead, &loop, check, Qt::QueuedConnection);
    const auto b = QObject::connect(&m_socket, &QTcpSocket::disconnected, &loop, check,
                                    Qt::QueuedConnection);
    const auto c
        = QObject::connect(&m_socket, &QTcpSocket::connected, &loop, check, Qt::QueuedConnection);
    limit.start(timeoutMs);
    loop.exec();
    QObject::disconnect(a);
    QObject::disconnect(b);
    QObject::disconnect(c);
    return done();
}

bool RawClient::waitFor(const QByteArray &text, int timeoutMs)
{
    return waitUntil([&] { return m_buffer.contains(text) || m_closed; }, timeoutMs)
        && m_buffer.contains(text);
}

bool RawClient::waitClosed(int timeoutMs)
{
    return waitUntil([&] { return m_closed; }, timeoutMs);
}

QByteArray RawClient::exchange(quint16 port, const QByteArray &request)
{
    RawClient client(port);
    client.send(request);
    client.waitClosed();
    return client.buffer();
}
