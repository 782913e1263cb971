#include "rawclient.h"

#include <QEventLoop>
#include <QHostAddress>
#include <QTimer>

RawClient::RawClient(quint16 port)
{
    auto changed = [this] {
        if (m_changed)
            m_changed();
    };
    QObject::connect(&m_socket, &QTcpSocket::connected, changed);
    QObject::connect(&m_socket, &QTcpSocket::readyRead, [this, changed] {
        m_buffer += m_socket.readAll();
        changed();
    });
    QObject::connect(&m_socket, &QTcpSocket::disconnected, [this, changed] {
        m_closed = true;
        changed();
    });
    // Not waited for here: the server may live in this very thread.
    m_socket.connectToHost(QHostAddress::LocalHost, port);
}

bool RawClient::waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    QEventLoop loop;
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    m_changed = [&] {
        if (done())
            loop.quit();
    };
    if (!done())
        loop.exec();
    m_changed = nullptr;
    return done();
}

QByteArray RawClient::exchange(quint16 port, const QByteArray &request)
{
    RawClient client(port);
    client.send(request);
    client.waitClosed();
    return client.buffer();
}
