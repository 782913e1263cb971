#pragma once

#include "core/attendedthreadobject.h"
#include "http/httpconnectionstate.h"
#include "http/qhttpserver/headerhash.h"
#include "http/qhttpserver/qhttprequest.h"
#include "http/qhttpserver/qhttpresponse.h"

#include <QAbstractSocket>
#include <QHostAddress>
#include <QString>
#include <QUrl>

class QHttpServer;

// The listener worker of the web module; runs in the module's thread. Hands every request to
// a Responder, which carries it to the module and the module's answer back.
class HttpObject : public AttendedThreadObject
{
    Q_OBJECT
public:
    HttpObject(const QString &bindAddress, quint16 bindPort, bool logProtocol,
               QObject *parent = nullptr);
    ~HttpObject() override;

    // Pause between two lookup or bind attempts.
    static constexpr qint64 retryMs = 1000;

signals:
    void setConnectionState(HttpConnectionState state, QAbstractSocket::SocketError error,
                            QString errorString);
    void checkRequest(QString responderName, QString remoteAddress, ushort remotePort,
                      QHttpRequest::HttpMethod method, QUrl url, HeaderHash headers,
                      QByteArray body, QByteArray data);

public slots:
    void run() override;
    void handleRequest(QHttpRequest *req, QHttpResponse *resp);
    void onResultRequest(QString responderName, QHttpResponse::StatusCode code, HeaderHash headers,
                         QByteArray body);
    void onHoldRequest(QString responderName, qint64 ms);

private:
    void reportState(HttpConnectionState state,
                     QAbstractSocket::SocketError error = QAbstractSocket::UnknownSocketError,
                     const QString &errorString = QString());
    void resolveStep();
    void bindStep();
    void retry(void (HttpObject::*step)());

    QString m_BindAddress;
    quint16 m_BindPort;
    bool m_LogProtocol;
    QHttpServer *m_Server = nullptr;
    QHostAddress m_ListenAddress;
    bool m_LookupFailed = false;
    bool m_BindFailed = false;
};
