#pragma once

#include "http/qhttpserver/headerhash.h"
#include "http/qhttpserver/qhttprequest.h"
#include "http/qhttpserver/qhttpresponse.h"

#include <QObject>
#include <QTimer>
#include <QUrl>

// Carries one request to the module and its answer back; lives in the worker's thread.
class Responder : public QObject
{
    Q_OBJECT
public:
    Responder(bool logProtocol, QHttpRequest *request, QHttpResponse *response,
              QObject *parent = nullptr);
    ~Responder() override;

    void writeResult(QHttpResponse::StatusCode code, const HeaderHash &headers,
                     const QByteArray &body);
    // Gives the module that much longer (schedule time, from now) to answer.
    void holdFor(qint64 ms);

    // Life of a request that the module does not answer.
    static constexpr qint64 lifeMs = 16000;

signals:
    void setHeader(QString field, QString value);
    void writeHead(int statusCode);
    void write(QByteArray data);
    void end(QByteArray data);
    void end();
    void checkRequest(QString responderName, QString remoteAddress, ushort remotePort,
                      QHttpRequest::HttpMethod method, QUrl url, HeaderHash headers,
                      QByteArray body, QByteArray data);

public slots:
    void accumulate(QByteArray data);
    void reply();

private:
    void expire();
    QString methodKey() const;

    quint64 m_id;
    bool m_logProtocol;
    QHttpRequest *m_request;
    QHttpResponse *m_response;
    QString m_remoteAddress;
    quint16 m_remotePort;
    QHttpRequest::HttpMethod m_method;
    QUrl m_url;
    HeaderHash m_headers;
    QByteArray m_body;
    QByteArray m_data;
    bool m_answered = false;
    QTimer m_expiry;
};
