#include "http/qhttpserver/qhttprequest.h"

#include <QMetaEnum>

QHttpRequest::QHttpRequest(QHttpConnection *connection, QObject *parent)
    : QObject(parent)
    , m_connection(connection)
    , m_url(QStringLiteral("http://localhost/"))
{
}

QString QHttpRequest::MethodToString(HttpMethod method)
{
    return QString::fromLatin1(QMetaEnum::fromType<HttpMethod>().valueToKey(method));
}

void QHttpRequest::storeBody()
{
    connect(this, &QHttpRequest::data, this, &QHttpRequest::appendBody, Qt::UniqueConnection);
}
