#pragma once

#include "http/qhttpserver/headerhash.h"
#include "http/qhttpserver/qhttprequest.h"
#include "http/qhttpserver/qhttpresponse.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QUrl>

class QTcpSocket;
class QHttpRequest;
class QHttpResponse;
struct http_parser;
struct http_parser_settings;

// One accepted TCP connection (or none, when fed directly): parses its requests one at a time and
// writes their answers. The next request is parsed only once the previous one is answered, so
// answers leave in order and a peer cannot queue up unbounded work.
class QHttpConnection : public QObject
{
    Q_OBJECT
public:
    QHttpConnection(QTcpSocket *socket, QObject *parent = nullptr);
    ~QHttpConnection() override;

    void write(const QByteArray &data);
    // Parses bytes as if they had arrived on the socket (the only input without a socket).
    void feed(const QByteArray &bytes);

    // The URL of a request target as the parser splits it; invalid when it does not parse.
    static QUrl createUrl(const QByteArray &target, bool connectMethod);

signals:
    void newRequest(QHttpRequest *request, QHttpResponse *response);
    void allBytesWritten();

private slots:
    void parseRequest();
    void responseDone();
    void socketDisconnected();
    void updateWriteCount(qint64 count);
    void idleTimeout();

private:
    static int MessageBegin(http_parser *parser);
    static int Url(http_parser *parser, const char *at, size_t length);
    static int HeaderField(http_parser *parser, const char *at, size_t length);
    static int HeaderValue(http_parser *parser, const char *at, size_t length);
    static int HeadersComplete(http_parser *parser);
    static int Body(http_parser *parser, const char *at, size_t length);
    static int MessageComplete(http_parser *parser);
    static int ChunkHeader(http_parser *parser);

    int fail(int status);
    void reject(int status);
    void storePendingHeader();
    bool awaitingAnswer() const;

    QTcpSocket *m_socket;
    http_parser *m_parser;
    http_parser_settings *m_parserSettings;
    // The consumer owns and may delete the request at any time.
    QPointer<QHttpRequest> m_request;
    QByteArray m_currentUrl;
    HeaderHash m_currentHeaders;
    QString m_currentHeaderField;
    QString m_currentHeaderValue;
    quint64 m_transmitLen = 0;
    quint64 m_transmitPos = 0;

    QPointer<QHttpResponse> m_response;
    bool m_requestAnnounced = false;
    bool m_inMessage = false;
    bool m_closing = false;
    int m_failStatus = 0;
    int m_headerBytes = 0;
    int m_headerCount = 0;
    qint64 m_bodyBytes = 0;
    // Bytes read but not parsed yet while the parser waits for an answer.
    QByteArray m_unparsed;
    QTimer m_idle;
};
