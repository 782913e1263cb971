#pragma once

#include <QAbstractSocket>
#include <QHostAddress>
#include <QObject>

class QTcpServer;
class QHttpRequest;
class QHttpResponse;

// A small HTTP/1.1 server: accepts connections and announces each parsed request with the
// response that answers it.
class QHttpServer : public QObject
{
    Q_OBJECT
public:
    explicit QHttpServer(QObject *parent = nullptr);

    bool listen(const QHostAddress &address, quint16 port);
    bool listen(quint16 port);
    bool isListening() const;
    // The listener's error, or that of the last failed listen.
    QAbstractSocket::SocketError serverError() const;
    QString errorString() const;
    quint16 serverPort() const;

    // Reason phrase of a status code; empty for codes outside the table.
    static QString statusText(int code);

signals:
    void newRequest(QHttpRequest *request, QHttpResponse *response);

private slots:
    void newConnection();

private:
    QTcpServer *m_tcpServer = nullptr;
    int m_connections = 0;
    QAbstractSocket::SocketError m_lastError = QAbstractSocket::UnknownSocketError;
    QString m_lastErrorString;
};
