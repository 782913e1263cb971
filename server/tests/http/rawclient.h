#pragma once

#include <QByteArray>
#include <QTcpSocket>

#include <functional>

// A plain TCP peer for the HTTP tests: sends bytes, waits on events for the answer.
class RawClient
{
public:
    explicit RawClient(quint16 port);

    bool isConnected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    void send(const QByteArray &bytes) { m_socket.write(bytes); }
    bool waitConnected(int timeoutMs = 30000)
    {
        return waitUntil([&] { return isConnected() || m_closed; }, timeoutMs) && isConnected();
    }
    // Waits until the buffer holds the text (or the peer closed); false on time-out.
    bool waitFor(const QByteArray &text, int timeoutMs = 30000)
    {
        return waitUntil([&] { return m_buffer.contains(text) || m_closed; }, timeoutMs)
            && m_buffer.contains(text);
    }
    bool waitClosed(int timeoutMs = 30000)
    {
        return waitUntil([&] { return m_closed; }, timeoutMs);
    }
    QByteArray buffer() const { return m_buffer; }
    bool closed() const { return m_closed; }

    // One request on a fresh connection; the whole answer once the server closes.
    static QByteArray exchange(quint16 port, const QByteArray &request);

private:
    bool waitUntil(const std::function<bool()> &done, int timeoutMs);

    QTcpSocket m_socket;
    QByteArray m_buffer;
    bool m_closed = false;
    std::function<void()> m_changed;
};
