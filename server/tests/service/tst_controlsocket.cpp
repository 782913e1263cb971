// The control socket's line protocol, byte for byte, against a local stream client, with the
// server running in this process on a private path (tst_service asks the real service through
// socat); and the pid file's lock.
#include "service/qtservice/qtlockedfile.h"
#include "service/qtservice/qtservicebase.h"
#include "service/qtservice/qtservicesysprivate.h"
#include "testmain.h"

#include <QLocalSocket>
#include <QTemporaryDir>
#include <QtTest>

namespace {

char arg0[] = "tst_controlsocket";
char *argv[] = { arg0, nullptr };

class RecordingService : public QtServiceBase
{
public:
    explicit RecordingService(const QString &name = QStringLiteral("tarnhall-test"))
        : QtServiceBase(1, argv, name)
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

// A peer of the control socket; reads happen as the test's event loop runs.
class Client
{
public:
    explicit Client(const QString &path)
    {
        socket.connectToServer(path);
        connected = socket.waitForConnected(10000);
    }
    void send(const QByteArray &bytes)
    {
        QCOMPARE(socket.write(bytes), qint64(bytes.size()));
        socket.flush();
    }
    // Everything received so far.
    QByteArray received() { return data += socket.readAll(); }
    // Lets the server handle what has arrived, then returns what the client got.
    QByteArray settle()
    {
        QTest::qWait(200);
        return received();
    }
    bool closed() const { return socket.state() == QLocalSocket::UnconnectedState; }
    bool connected = false;

private:
    QLocalSocket socket;
    QByteArray data;
};

} // namespace

class TestControlSocket : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void answersLineByLine_data();
    void answersLineByLine();
    void overLongLineGetsFalseAndCloses();
    void peerGoneBeforeItsAnswers();
    void serviceNameIsCutAndCleaned();
    void pidLockExcludesOtherHolders();

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
    service = new RecordingService;
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

// Each write, then everything answered so far: nothing may come before a line is complete.
void TestControlSocket::answersLineByLine_data()
{
    QTest::addColumn<int>("flags");
    QTest::addColumn<QByteArrayList>("writes");
    QTest::addColumn<QByteArrayList>("answers");
    QTest::addColumn<QStringList>("calls");
    const auto row = [](const char *name, const QByteArray &line, const QByteArray &answer,
                        const QStringList &calls = {}) {
        QTest::newRow(name) << 4 << QByteArrayList { line } << QByteArrayList { answer } << calls;
    };
    row("alive", "alive\r\n", "true");
    row("leading space", " alive\r\n", "false");
    row("trailing space", "alive \r\n", "false");
    row("terminate", "terminate\r\n", "true", { "stop" });
    row("pause refused", "pause\r\n", "false");
    row("num bare", "num:\r\n", "false");
    row("num 7", "num:7\r\n", "true", { "num 7" });
    row("num letter", "num:x\r\n", "true", { "num 0" });
    row("unknown", "reload\r\n", "false");
    row("bytes after NUL ignored", QByteArray("alive\r\n\0terminate\r\n", 19), "true");
    // An empty line holds the rest until more data; a line feed alone ends nothing.
    QTest::newRow("empty line") << 4 << QByteArrayList { "\r\nalive\r\n", "x", "\nalive\n", "\r\n" }
                                << QByteArrayList { "", "true", "true", "truefalse" }
                                << QStringList();
    QTest::newRow("split over writes")
        << 4 << QByteArrayList { "al", "ive\r", "\nnum:", "12\r\n" }
        << QByteArrayList { "", "", "true", "truetrue" } << QStringList { "num 12" };
    QTest::newRow("flags decide") << int(QtServiceBase::CanBeSuspended
                                         | QtServiceBase::CannotBeStopped)
                                  << QByteArrayList { "terminate\r\npause\r\nresume\r\n" }
                                  << QByteArrayList { "falsetruetrue" }
                                  << QStringList { "pause", "resume" };
}

void TestControlSocket::answersLineByLine()
{
    QFETCH(int, flags);
    QFETCH(QByteArrayList, writes);
    QFETCH(QByteArrayList, answers);
    QFETCH(QStringList, calls);
    server->setServiceFlags(flags);
    Client client(path);
    QVERIFY(client.connected);
    for (int i = 0; i < writes.size(); ++i) {
        client.send(writes.at(i));
        QTRY_COMPARE(client.received(), answers.at(i));
        QCOMPARE(client.settle(), answers.at(i)); // no terminator, nothing more
    }
    QCOMPARE(service->calls, calls);
    QVERIFY(!client.closed()); // refused words leave the connection open
}

void TestControlSocket::overLongLineGetsFalseAndCloses()
{
    Client other(path);
    Client client(path);
    client.send(QByteArray(QtServiceSysPrivate::MaxPendingText, 'a'));
    QCOMPARE(client.settle(), QByteArray());
    client.send("aa");
    QTRY_VERIFY(client.received() == "false" && client.closed());
    // The other connection is not disturbed.
    other.send("alive\r\n");
    QTRY_COMPARE(other.received(), QByteArray("true"));
    // Many short complete lines are fine, whatever their total.
    other.send(QByteArray("alive\r\n").repeated(400));
    QTRY_COMPARE(other.received().size(), 4 + 400 * 4);
    QVERIFY(!other.closed());
}

void TestControlSocket::peerGoneBeforeItsAnswers()
{
    // The first answer fails to write and drops the connection while its later lines wait.
    Client(path).send(QByteArray("alive\r\n").repeated(50) + "terminate\r\n");
    QTest::qWait(200);
    Client other(path);
    other.send("alive\r\n");
    QTRY_COMPARE(other.received(), QByteArray("true"));
}

void TestControlSocket::serviceNameIsCutAndCleaned()
{
    const QString exact(255, QLatin1Char('n'));
    QCOMPARE(RecordingService(exact).serviceName(), exact);
    QTest::ignoreMessage(QtWarningMsg, "QtService: 'name' is longer than 255 characters.");
    QCOMPARE(RecordingService(exact + QLatin1Char('x')).serviceName(), exact);
    QTest::ignoreMessage(QtWarningMsg, "QtService: 'name' contains backslashes '\\'.");
    QCOMPARE(RecordingService(QStringLiteral("a\\b")).serviceName(),
             QStringLiteral("a") + QChar(0) + QLatin1Char('b'));
    QCOMPARE(QtServiceBase::instance(), nullptr); // the last one is gone
}

// Exclusive between holders in one process too, released with the file. A second service
// process is refused by it in tst_service.
void TestControlSocket::pidLockExcludesOtherHolders()
{
    const QString pid = dir->filePath(QStringLiteral("pid"));
    QtLockedFile first(pid);
    QVERIFY(first.open(QIODevice::ReadWrite));
    QVERIFY(first.lock(QtLockedFile::WriteLock, false));
    QVERIFY(first.isLocked());
    QtLockedFile second(pid);
    QVERIFY(second.open(QIODevice::ReadWrite));
    QVERIFY(!second.lock(QtLockedFile::WriteLock, false));
    QVERIFY(!second.lock(QtLockedFile::ReadLock, false));
    QVERIFY(first.unlock());
    QVERIFY(second.lock(QtLockedFile::WriteLock, false));
    second.close(); // closing releases
    QVERIFY(!second.isLocked());
    QVERIFY(first.lock(QtLockedFile::WriteLock, false));
}

TARNHALL_TEST_MAIN(TestControlSocket)
#include "tst_controlsocket.moc"
