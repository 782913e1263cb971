// The control socket's line protocol, byte for byte, against a plain POSIX socket client and
// socat, with the server running in this process on a private path.
#include "service/qtservice/qtservicebase.h"
#include "service/qtservice/qtservicesysprivate.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

class RecordingService : public QtServiceBase
{
public:
    RecordingService(int argc, char **argv)
        : QtServiceBase(argc, argv, QStringLiteral("tarnhall-test"))
    {
    }
    QStringList calls;

protected:
    void start() override { }
    void stop() override { calls << QStringLiteral("stop"); }
    void pause() override { calls << QStringLiteral("pause"); }
    void resume() override { calls << QStringLiteral("resume"); }
    void processCommand(int code) override { calls << QStringLiteral("num %1").arg(code); }
    void createApplication(int &, char **) override { }
    int executeApplication() override { return 0; }
};

// A raw Unix-domain stream client; reads never block so the server's event loop keeps going.
class RawClient
{
public:
    explicit RawClient(const QString &path)
    {
        fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        const QByteArray bytes = path.toLocal8Bit();
        qstrncpy(address.sun_path, bytes.constData(), sizeof address.sun_path);
        connected = ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
        ::fcntl(fd, F_SETFL, O_NONBLOCK);
    }
    ~RawClient() { ::close(fd); }

    void send(const QByteArray &bytes)
    {
        QCOMPARE(::write(fd, bytes.constData(), size_t(bytes.size())), ssize_t(bytes.size()));
    }

    // Everything received so far; closed becomes true once the server has hung up.
    QByteArray received()
    {
        char buffer[256];
        for (;;) {
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
            if (got > 0) {
                data.append(buffer, int(got));
                continue;
            }
            if (got == 0)
                closed = true;
            break;
        }
        return data;
    }

    bool connected = false;
    bool closed = false;

private:
    int fd = -1;
    QByteArray data;
};

// Lets the server handle what has arrived, then returns what the client got.
QByteArray settle(RawClient &client, int ms = 200)
{
    QTest::qWait(ms);
    return client.received();
}

} // namespace

class TestControlSocket : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void answersEachWordExactly_data();
    void answersEachWordExactly();
    void emptyLineHoldsTheRestUntilMoreData();
    void commandSplitOverWritesIsAnsweredOnceComplete();
    void bytesAfterNulAreIgnored();
    void overLongLineGetsFalseAndCloses();
    void peerGoneBeforeItsAnswers();
    void flagsDecideTerminatePauseResume();
    void socatPeerGetsTheSameAnswers();
    void serviceNameIsCutAndCleaned();

private:
    QTemporaryDir *dir = nullptr;
    RecordingService *service = nullptr;
    QtServiceSysPrivate *server = nullptr;
    QString path;
};

void TestControlSocket::init()
{
    dir = new QTemporaryDir();
    path = dir->filePath(QStringLiteral("sock"));
    static char arg0[] = "tst_controlsocket";
    static char *argv[] = { arg0, nullptr };
    service = new RecordingService(1, argv);
    server = new QtServiceSysPrivate(service);
    server->setServiceFlags(4);
    QVERIFY(server->listen(path));
}

void TestControlSocket::cleanup()
{
    delete server;
    delete service;
    delete dir;
}

void TestControlSocket::answersEachWordExactly_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("call");
    QTest::newRow("alive") << QByteArray("alive\r\n") << QByteArray("true") << QString();
    QTest::newRow("leading space") << QByteArray(" alive\r\n") << QByteArray("false") << QString();
    QTest::newRow("trailing space") << QByteArray("alive \r\n") << QByteArray("false") << QString();
    QTest::newRow("terminate") << QByteArray("terminate\r\n") << QByteArray("true") << "stop";
    QTest::newRow("pause refused") << QByteArray("pause\r\n") << QByteArray("false") << QString();
    QTest::newRow("num bare") << QByteArray("num:\r\n") << QByteArray("false") << QString();
    QTest::newRow("num 7") << QByteArray("num:7\r\n") << QByteArray("true") << "num 7";
    QTest::newRow("num letter") << QByteArray("num:x\r\n") << QByteArray("true") << "num 0";
    QTest::newRow("unknown") << QByteArray("reload\r\n") << QByteArray("false") << QString();
}

void TestControlSocket::answersEachWordExactly()
{
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, answer);
    QFETCH(QString, call);
    RawClient client(path);
    QVERIFY(client.connected);
    client.send(line);
    QTRY_COMPARE(client.received(), answer);
    QCOMPARE(settle(client), answer); // no terminator, nothing more
    QCOMPARE(service->calls, call.isEmpty() ? QStringList() : QStringList { call });
    QVERIFY(!client.closed); // refused words leave the connection open
}

void TestControlSocket::emptyLineHoldsTheRestUntilMoreData()
{
    RawClient client(path);
    client.send("\r\nalive\r\n");
    QCOMPARE(settle(client), QByteArray());
    client.send("x");
    QTRY_COMPARE(client.received(), QByteArray("true"));
    // A line feed alone ends nothing: the text stays pending.
    client.send("\nalive\n");
    QCOMPARE(settle(client), QByteArray("true"));
    client.send("\r\n");
    QTRY_COMPARE(client.received(), QByteArray("truefalse"));
}

void TestControlSocket::commandSplitOverWritesIsAnsweredOnceComplete()
{
    RawClient client(path);
    client.send("al");
    QCOMPARE(settle(client), QByteArray());
    client.send("ive\r");
    QCOMPARE(settle(client), QByteArray());
    client.send("\nnum:");
    QTRY_COMPARE(client.received(), QByteArray("true"));
    client.send("12\r\n");
    QTRY_COMPARE(client.received(), QByteArray("truetrue"));
    QCOMPARE(service->calls, QStringList { QStringLiteral("num 12") });
}

void TestControlSocket::bytesAfterNulAreIgnored()
{
    RawClient client(path);
    client.send(QByteArray("alive\r\n\0terminate\r\n", 19));
    QTRY_COMPARE(client.received(), QByteArray("true"));
    QCOMPARE(settle(client), QByteArray("true"));
    QVERIFY(service->calls.isEmpty());
}

void TestControlSocket::overLongLineGetsFalseAndCloses()
{
    RawClient other(path);
    RawClient client(path);
    client.send(QByteArray(QtServiceSysPrivate::MaxPendingText, 'a'));
    QCOMPARE(settle(client), QByteArray());
    client.send("aa");
    QTRY_VERIFY(client.received() == "false" && client.closed);
    // The other connection is not disturbed.
    other.send("alive\r\n");
    QTRY_COMPARE(other.received(), QByteArray("true"));
    // Many short complete lines are fine, whatever their total.
    QByteArray many;
    for (int i = 0; i < 400; ++i)
        many += "alive\r\n";
    other.send(many);
    QTRY_COMPARE(other.received().size(), 4 + 400 * 4);
    QVERIFY(!other.closed);
}

void TestControlSocket::peerGoneBeforeItsAnswers()
{
    // The first answer fails to write and drops the connection while its later lines wait.
    {
        RawClient client(path);
        QByteArray many;
        for (int i = 0; i < 50; ++i)
            many += "alive\r\n";
        client.send(many + "terminate\r\n");
    }
    QTest::qWait(200);
    RawClient other(path);
    other.send("alive\r\n");
    QTRY_COMPARE(other.received(), QByteArray("true"));
}

void TestControlSocket::flagsDecideTerminatePauseResume()
{
    server->setServiceFlags(QtServiceBase::CanBeSuspended | QtServiceBase::CannotBeStopped);
    RawClient client(path);
    client.send("terminate\r\npause\r\nresume\r\n");
    QTRY_COMPARE(client.received(), QByteArray("falsetruetrue"));
    QCOMPARE(service->calls, (QStringList { QStringLiteral("pause"), QStringLiteral("resume") }));
}

void TestControlSocket::socatPeerGetsTheSameAnswers()
{
    QProcess socat;
    socat.start(QStringLiteral("socat"),
                { QStringLiteral("-t1"), QStringLiteral("-"),
                  QStringLiteral("UNIX-CONNECT:%1").arg(path) });
    QVERIFY(socat.waitForStarted());
    // Lines sent back to back are answered back to back.
    socat.write("alive\r\nnum:3\r\nAlive\r\nterminate\r\n");
    socat.closeWriteChannel();
    QTRY_COMPARE_WITH_TIMEOUT(socat.state(), QProcess::NotRunning, 10000);
    QCOMPARE(socat.readAllStandardOutput(), QByteArray("truetruefalsetrue"));
    QCOMPARE(service->calls, (QStringList { QStringLiteral("num 3"), QStringLiteral("stop") }));
}

void TestControlSocket::serviceNameIsCutAndCleaned()
{
    static char arg0[] = "tst_controlsocket";
    static char *argv[] = { arg0, nullptr };
    class Named : public QtServiceBase
    {
    public:
        explicit Named(const QString &name)
            : QtServiceBase(1, argv, name)
        {
        }
        void start() override { }
        void createApplication(int &, char **) override { }
        int executeApplication() override { return 0; }
    };

    const QString exact(255, QLatin1Char('n'));
    QCOMPARE(Named(exact).serviceName(), exact);
    QTest::ignoreMessage(QtWarningMsg, "QtService: 'name' is longer than 255 characters.");
    QCOMPARE(Named(exact + QLatin1Char('x')).serviceName(), exact);
    QTest::ignoreMessage(QtWarningMsg, "QtService: 'name' contains backslashes '\\'.");
    QCOMPARE(Named(QStringLiteral("a\\b")).serviceName(),
             QStringLiteral("a") + QChar(0) + QLatin1Char('b'));
    QCOMPARE(QtServiceBase::instance(), nullptr); // the last one is gone
}

QTEST_GUILESS_MAIN(TestControlSocket)
#include "tst_controlsocket.moc"
