// The web module under load: pages per second for one logged-in session with wrk (several
// connections sharing the session's nonce; every answer closes its connection, so wrk
// reconnects for each page), side by side with the 401 answers of unauthenticated requests;
// then the resident memory that 1,000 logged-in sessions add. Every page closes its
// connection on the server side, so later runs share the loopback ports with many sockets in
// TIME_WAIT: compare runs in the same order. BENCH_VERBOSE=1 shows wrk's own report.
#include "httpfixture.h"
#include "rawclient.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>

#include <cstdio>

namespace {

long residentKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QRegularExpression pattern(QStringLiteral("VmRSS:\\s+(\\d+)"));
    return pattern.match(QString::fromLatin1(status.readAll())).captured(1).toLong();
}

QString wrk(quint16 port, const QString &path, const QString &authorization, int seconds)
{
    QStringList args { QStringLiteral("-t2"), QStringLiteral("-c8"),
                       QStringLiteral("-d%1s").arg(seconds) };
    if (!authorization.isEmpty())
        args << QStringLiteral("-H") << QStringLiteral("Authorization: %1").arg(authorization);
    args << QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path);
    QProcess process;
    QEventLoop loop;
    QObject::connect(&process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), &loop,
                     &QEventLoop::quit);
    process.start(QStringLiteral("wrk"), args);
    if (process.state() != QProcess::NotRunning)
        loop.exec();
    const QString out = QString::fromLocal8Bit(process.readAllStandardOutput());
    if (qEnvironmentVariableIsSet("BENCH_VERBOSE"))
        std::printf("%s\n", qPrintable(out));
    const QRegularExpression rate(QStringLiteral("Requests/sec:\\s+([0-9.]+)"));
    const QRegularExpression non2xx(QStringLiteral("Non-2xx or 3xx responses: (\\d+)"));
    return QStringLiteral("%1 pages/s (non-2xx: %2)")
        .arg(rate.match(out).captured(1),
             non2xx.match(out).captured(1).isEmpty() ? QStringLiteral("0")
                                                     : non2xx.match(out).captured(1));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? QString::fromLatin1(argv[1]).toInt() : 10;
    HttpFixture fixture;
    if (!fixture.start()) {
        std::fprintf(stderr, "the web module did not start\n");
        return 1;
    }
    const QString nonce = fixture.nonce();
    const QString path = QStringLiteral("/admin-module.htm");
    const QString authorization
        = HttpFixture::digest(QStringLiteral("admin"), QStringLiteral("Tarnhall Server"),
                              QStringLiteral("tallowfin"), QStringLiteral("GET"), path, nonce);
    std::printf("logged-in %s: %s\n", qPrintable(path),
                qPrintable(wrk(fixture.port(), path, authorization, seconds)));
    std::printf("style sheet: %s\n",
                qPrintable(wrk(
                    fixture.port(), QStringLiteral("/style.css"),
                    HttpFixture::digest(QStringLiteral("admin"), QStringLiteral("Tarnhall Server"),
                                        QStringLiteral("tallowfin"), QStringLiteral("GET"),
                                        QStringLiteral("/style.css"), nonce),
                    seconds)));
    // Every unauthenticated request creates a session; the oldest unbound ones are dropped.
    std::printf("unauthenticated (401): %s\n",
                qPrintable(wrk(fixture.port(), path, QString(), seconds)));

    // Settle, then log in 1,000 times, each on a nonce of its own.
    for (int i = 0; i < 20; ++i)
        QCoreApplication::processEvents();
    const long before = residentKb();
    const int sessions = 1000;
    for (int i = 0; i < sessions; ++i) {
        const QString fresh = fixture.nonce();
        const QString auth = HttpFixture::digest(
            QStringLiteral("admin"), QStringLiteral("Tarnhall Server"), QStringLiteral("tallowfin"),
            QStringLiteral("GET"), QStringLiteral("/style.css"), fresh);
        RawClient::exchange(fixture.port(),
                            QStringLiteral("GET /style.css HTTP/1.1\r\nAuthorization: %1\r\n\r\n")
                                .arg(auth)
                                .toUtf8());
    }
    for (int i = 0; i < 20; ++i)
        QCoreApplication::processEvents();
    const long after = residentKb();
    std::printf("%d logged-in sessions: +%ld kB resident (%.2f kB each)\n", sessions,
                after - before, double(after - before) / sessions);
    return 0;
}
