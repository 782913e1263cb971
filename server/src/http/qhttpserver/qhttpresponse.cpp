#include "http/qhttpserver/qhttpresponse.h"

#include "http/qhttpserver/qhttpconnection.h"
#include "http/qhttpserver/qhttpserver.h"

#include <QDateTime>
#include <QLocale>

namespace {

// A header line ends at CR LF: no caller's text may end it early and smuggle in its own lines.
QByteArray headerSafe(const QString &text)
{
    QByteArray bytes = text.toLatin1();
    bytes.replace('\r', "").replace('\n', "").replace('\0', "");
    return bytes;
}

} // namespace

QHttpResponse::QHttpResponse(QHttpConnection *connection)
    : QObject(connection)
    , m_connection(connection)
{
}

void QHttpResponse::setHeader(const QString &field, const QString &value)
{
    if (m_finished) {
        qWarning("QHttpResponse::setHeader() Cannot set headers after response has finished.");
        return;
    }
    m_headers[field] = value;
}

void QHttpResponse::writeHeader(const QString &field, const QString &value)
{
    if (m_finished) {
        qWarning("QHttpResponse::writeHeader() Cannot write headers after response has finished.");
        return;
    }
    QByteArray line = headerSafe(field);
    line += ": ";
    line += headerSafe(value);
    line += "\r\n";
    m_connection->write(line);
}

void QHttpResponse::writeHeaders()
{
    if (m_finished)
        return;
    for (auto it = m_headers.cbegin(); it != m_headers.cend(); ++it) {
        const QString name = it.key().toLower();
        const QString value = it.value();
        if (name == QLatin1String("connection")) {
            m_sentConnectionHeader = true;
            if (value.compare(QLatin1String("close"), Qt::CaseInsensitive) == 0)
                m_last = true;
            else
                m_keepAlive = true;
        } else if (name == QLatin1String("transfer-encoding")) {
            m_sentTransferEncodingHeader = true;
            if (value.compare(QLatin1String("chunked"), Qt::CaseInsensitive) == 0)
                m_useChunkedEncoding = true;
        } else if (name == QLatin1String("content-length")) {
            m_sentContentLengthHeader = true;
        } else if (name == QLatin1String("date")) {
            m_sentDate = true;
        }
        writeHeader(it.key(), value);
    }
    if (!m_sentConnectionHeader) {
        if (m_keepAlive && (m_sentContentLengthHeader || m_useChunkedEncoding)) {
            writeHeader(QStringLiteral("Connection"), QStringLiteral("keep-alive"));
        } else {
            m_last = true;
            writeHeader(QStringLiteral("Connection"), QStringLiteral("close"));
        }
    }
    if (!m_sentContentLengthHeader && !m_sentTransferEncodingHeader)
        m_last = true;
    if (!m_sentDate) {
        const QString date = QLocale::c().toString(QDateTime::currentDateTimeUtc(),
                                                   QStringLiteral("ddd, dd MMM yyyy hh:mm:ss"));
        writeHeader(QStringLiteral("Date"), date + QStringLiteral(" GMT"));
    }
}

void QHttpResponse::writeHead(int statusCode)
{
    if (m_finished) {
        qWarning("QHttpResponse::writeHead() Cannot write headers after response has finished.");
        return;
    }
    if (m_headerWritten) {
        qWarning("QHttpResponse::writeHead() Already called once for this response.");
        return;
    }
    m_connection->write(QStringLiteral("HTTP/1.1 %1 %2\r\n")
                            .arg(statusCode)
                            .arg(QHttpServer::statusText(statusCode))
                            .toLatin1());
    writeHeaders();
    m_connection->write("\r\n");
    m_headerWritten = true;
}

void QHttpResponse::write(const QByteArray &data)
{
    if (m_finished) {
        qWarning("QHttpResponse::write() Cannot write body after response has finished.");
        return;
    }
    if (!m_headerWritten) {
        qWarning("QHttpResponse::write() You must call writeHead() before writing body data.");
        return;
    }
    m_connection->write(data);
}

void QHttpResponse::end(const QByteArray &data)
{
    if (m_finished) {
        qWarning("QHttpResponse::end() Cannot write end after response has finished.");
        return;
    }
    if (!data.isEmpty())
        write(data);
    m_finished = true;
    emit done();
    deleteLater();
}

void QHttpResponse::connectionClosed()
{
    m_finished = true;
    deleteLater();
}
