#pragma once

#include "http/qhttpserver/headerhash.h"

#include <QByteArray>
#include <QObject>
#include <QUrl>

class QHttpConnection;

// One parsed request. Owned by whoever takes it from newRequest.
class QHttpRequest : public QObject
{
    Q_OBJECT
    Q_PROPERTY(HeaderHash headers READ headers)
    Q_PROPERTY(QString remoteAddress READ remoteAddress)
    Q_PROPERTY(quint16 remotePort READ remotePort)
    Q_PROPERTY(QString method READ methodString)
    Q_PROPERTY(QUrl url READ url)
    Q_PROPERTY(QString path READ path)
    Q_PROPERTY(QString httpVersion READ httpVersion)
public:
    // http-parser's method numbers.
    enum HttpMethod {
        HTTP_DELETE = 0,
        HTTP_GET,
        HTTP_HEAD,
        HTTP_POST,
        HTTP_PUT,
        HTTP_CONNECT,
        HTTP_OPTIONS,
        HTTP_TRACE,
        HTTP_COPY,
        HTTP_LOCK,
        HTTP_MKCOL,
        HTTP_MOVE,
        HTTP_PROPFIND,
        HTTP_PROPPATCH,
        HTTP_SEARCH,
        HTTP_UNLOCK,
        HTTP_REPORT,
        HTTP_MKACTIVITY,
        HTTP_CHECKOUT,
        HTTP_MERGE,
        HTTP_MSEARCH,
        HTTP_NOTIFY,
        HTTP_SUBSCRIBE,
        HTTP_UNSUBSCRIBE,
        HTTP_PATCH,
        HTTP_PURGE,
    };
    Q_ENUM(HttpMethod)

    explicit QHttpRequest(QHttpConnection *connection, QObject *parent = nullptr);

    HttpMethod method() const { return m_method; }
    QString methodString() const { return MethodToString(m_method); }
    static QString MethodToString(HttpMethod method);
    QUrl url() const { return m_url; }
    QString path() const { return m_url.path(QUrl::FullyDecoded); }
    QString httpVersion() const { return m_version; }
    QString remoteAddress() const { return m_remoteAddress; }
    quint16 remotePort() const { return m_remotePort; }
    HeaderHash headers() const { return m_headers; }
    QString header(const QString &field) const { return m_headers.value(field.toLower()); }
    QByteArray body() const { return m_body; }
    bool successful() const { return m_success; }

    void storeBody();

signals:
    void data(QByteArray data);
    void end();

public slots:
    void appendBody(QByteArray body) { m_body.append(body); }

private:
    friend class QHttpConnection;

    QHttpConnection *m_connection;
    HeaderHash m_headers;
    HttpMethod m_method = HTTP_GET;
    QUrl m_url;
    QString m_version;
    QString m_remoteAddress;
    quint16 m_remotePort = 0;
    QByteArray m_body;
    bool m_success = false;
};

Q_DECLARE_METATYPE(QHttpRequest::HttpMethod)
