#pragma once

#include "http/qhttpserver/headerhash.h"

#include <QByteArray>
#include <QObject>

class QHttpConnection;

// The answer to one request, written on its connection. Deletes itself after end().
class QHttpResponse : public QObject
{
    Q_OBJECT
public:
    enum StatusCode {
        STATUS_CONTINUE = 100,
        STATUS_SWITCH_PROTOCOLS = 101,
        STATUS_OK = 200,
        STATUS_CREATED = 201,
        STATUS_ACCEPTED = 202,
        STATUS_NON_AUTHORITATIVE_INFORMATION = 203,
        STATUS_NO_CONTENT = 204,
        STATUS_RESET_CONTENT = 205,
        STATUS_PARTIAL_CONTENT = 206,
        STATUS_MULTIPLE_CHOICES = 300,
        STATUS_MOVED_PERMANENTLY = 301,
        STATUS_FOUND = 302,
        STATUS_SEE_OTHER = 303,
        STATUS_NOT_MODIFIED = 304,
        STATUS_USE_PROXY = 305,
        STATUS_TEMPORARY_REDIRECT = 307,
        STATUS_BAD_REQUEST = 400,
        STATUS_UNAUTHORIZED = 401,
        STATUS_PAYMENT_REQUIRED = 402,
        STATUS_FORBIDDEN = 403,
        STATUS_NOT_FOUND = 404,
        STATUS_METHOD_NOT_ALLOWED = 405,
        STATUS_NOT_ACCEPTABLE = 406,
        STATUS_PROXY_AUTHENTICATION_REQUIRED = 407,
        STATUS_REQUEST_TIMEOUT = 408,
        STATUS_CONFLICT = 409,
        STATUS_GONE = 410,
        STATUS_LENGTH_REQUIRED = 411,
        STATUS_PRECONDITION_FAILED = 412,
        STATUS_REQUEST_ENTITY_TOO_LARGE = 413,
        STATUS_REQUEST_URI_TOO_LONG = 414,
        STATUS_REQUEST_UNSUPPORTED_MEDIA_TYPE = 415,
        STATUS_REQUESTED_RANGE_NOT_SATISFIABLE = 416,
        STATUS_EXPECTATION_FAILED = 417,
        STATUS_INTERNAL_SERVER_ERROR = 500,
        STATUS_NOT_IMPLEMENTED = 501,
        STATUS_BAD_GATEWAY = 502,
        STATUS_SERVICE_UNAVAILABLE = 503,
        STATUS_GATEWAY_TIMEOUT = 504,
        STATUS_HTTP_VERSION_NOT_SUPPORTED = 505,
    };
    Q_ENUM(StatusCode)

    explicit QHttpResponse(QHttpConnection *connection);

    bool isFinished() const { return m_finished; }
    bool isLast() const { return m_last; }
    void setKeepAlive(bool on) { m_keepAlive = on; }

signals:
    void allBytesWritten();
    void done();

public slots:
    void setHeader(const QString &field, const QString &value);
    void writeHead(int statusCode);
    void writeHead(StatusCode statusCode) { writeHead(int(statusCode)); }
    void write(const QByteArray &data);
    void end(const QByteArray &data);
    void end() { end(QByteArray()); }
    void connectionClosed();

private:
    void writeHeaders();
    void writeHeader(const QString &field, const QString &value);

    QHttpConnection *m_connection;
    HeaderHash m_headers;
    bool m_headerWritten = false;
    bool m_sentConnectionHeader = false;
    bool m_sentContentLengthHeader = false;
    bool m_sentTransferEncodingHeader = false;
    bool m_sentDate = false;
    bool m_keepAlive = true;
    bool m_last = false;
    bool m_useChunkedEncoding = false;
    bool m_finished = false;
};

Q_DECLARE_METATYPE(QHttpResponse::StatusCode)
