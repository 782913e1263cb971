// libFuzzer target for the HTTP request reader: the connection's parser with its bounds, the
// URL split, and the form parser of every query and body that comes out. The first byte picks
// how the consumer behaves: answer at once, answer at the request's end, or delete the request
// before its body arrives.
#include "http/formdata.h"
#include "http/pagepath.h"
#include "http/qhttpserver/qhttpconnection.h"
#include "http/qhttpserver/qhttprequest.h"
#include "http/qhttpserver/qhttpresponse.h"

#include <QCoreApplication>
#include <QPointer>

#include <cstdint>
#include <cstdlib>

namespace {

QCoreApplication *app()
{
    static int argc = 1;
    static char name[] = "httprequest_fuzzer";
    static char *argv[] = { name, nullptr };
    static QCoreApplication *instance = new QCoreApplication(argc, argv);
    return instance;
}

void answer(QHttpResponse *response)
{
    // A date of its own keeps the clock out of the run, so a fixed seed makes the same run.
    response->setHeader(QStringLiteral("Date"), QStringLiteral("Thu, 01 Jan 1970 00:00:00 GMT"));
    response->setHeader(QStringLiteral("Content-Length"), QStringLiteral("0"));
    response->writeHead(200);
    response->end();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    app();
    if (size < 1)
        return 0;
    const int mode = data[0] % 3;
    const QByteArray input(reinterpret_cast<const char *>(data + 1), int(size - 1));

    auto *connection = new QHttpConnection(nullptr);
    QObject::connect(connection, &QHttpConnection::newRequest,
                     [mode, connection](QHttpRequest *request, QHttpResponse *response) {
                         parseFormData(request->url().query(QUrl::FullyEncoded).toUtf8());
                         const QString path = request->path();
                         if (isCleanPagePath(path)
                             && (path.contains(QLatin1String("/../")) || path.contains(QChar(0))))
                             std::abort();
                         if (mode == 2) {
                             delete request;
                             answer(response);
                             return;
                         }
                         request->storeBody();
                         // Owned here: one that never ends goes with its connection.
                         QObject::connect(
                             connection, &QObject::destroyed,
                             [held = QPointer<QHttpRequest>(request)] { delete held.data(); });
                         QObject::connect(request, &QHttpRequest::end, [request, response, mode] {
                             parseFormData(request->body());
                             if (mode == 1)
                                 answer(response);
                             request->deleteLater();
                         });
                         if (mode == 0)
                             answer(response);
                     });
    // Fed in two pieces, so requests also cross a read boundary.
    connection->feed(input.left(input.size() / 2));
    QCoreApplication::processEvents();
    connection->feed(input.mid(input.size() / 2));
    for (int i = 0; i < 4; ++i)
        QCoreApplication::processEvents();
    delete connection;
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return 0;
}
