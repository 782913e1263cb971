// The real service as a gateway behind an address translation, in a network namespace of the
// test's own: the STUN server (coturn) sees the service's STUN socket come from another address
// than the one it has, and the outside server (kamailio, or a scripted one that writes
// "received") must learn that address from every account's registration.
#include "../sippeers.h"
#include "../toolkit.h"
#include "servicesandbox.h"
#include "testmain.h"

#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QNetworkDatagram>
#include <QRegularExpression>
#include <QSet>
#include <QSettings>
#include <QtTest>

namespace {

// Packets to the STUN server leave from this address; the SIP socket keeps 127.0.0.1.
const QString kMapped = QStringLiteral("127.0.0.2");
const QString kStunAddress = QStringLiteral("127.0.0.3");
const int kTimeScale = 4;

// coturn answering STUN binding requests only.
class Coturn
{
public:
    QTemporaryDir dir;
    QProcess process;

    bool start(const QString &address)
    {
        process.start("turnserver",
                      { "-n", "--stun-only", "-L", address, "--listening-port", "3478", "--no-cli",
                        "--no-tls", "--no-dtls", "--db", dir.filePath("turndb"), "--pidfile",
                        dir.filePath("pid"), "--log-file", dir.filePath("turn.log"),
                        "--simple-log" });
        return process.waitForStarted();
    }
    ~Coturn()
    {
        process.terminate();
        if (!process.waitForFinished(10000))
            process.kill();
        process.waitForFinished();
    }
};

QString field(const QByteArray &message, const char *pattern)
{
    const QRegularExpression expression(QLatin1String(pattern),
                                        QRegularExpression::MultilineOption);
    return expression.match(QString::fromUtf8(message)).captured(1).trimmed();
}

} // namespace

class TestServiceGateway : public QObject
{
    Q_OBJECT

    // A gateway service of accounts registering on the server at port, over UDP.
    static void configure(ServiceSandbox &box, quint16 port, const QString &typeExtAddress,
                          const QStringList &groups)
    {
        QSettings main(box.root() + "/conf/tarnhall-server.conf", QSettings::IniFormat);
        main.setValue("sip/standalone", false);
        main.setValue("sip/server-address", "127.0.0.1");
        main.setValue("sip/server-port", port);
        main.setValue("sip/server-transport", "UDP");
        main.setValue("sip/server-bind-random", true);
        main.setValue("sip/type-ext-address", typeExtAddress);
        main.setValue("sip/ext-address-stun", kStunAddress + ":3478");
        main.setValue("sip/log-sip", true);
        QSettings users(box.root() + "/conf/sip-users.conf", QSettings::IniFormat);
        users.setIniCodec("UTF-8");
        for (const QString &group : groups) {
            users.setValue(group + "/type-user", 2);
            users.setValue(group + "/sip-server-login", "group-login");
            users.setValue(group + "/sip-server-password", QString::fromUtf8("gr\xc3\xbcn"));
        }
    }

    static void stop(ServiceSandbox &box, QProcess *service)
    {
        QCOMPARE(box.command({ "stop" }), QByteArray("0 [The service stopped.\n] []"));
        QVERIFY(service->waitForFinished(60000));
    }

private slots:
    void initTestCase()
    {
        // Addresses and routes are changed below: only ever in a namespace of this test's own.
        if (QFile::symLinkTarget("/proc/self/ns/net") == QFile::symLinkTarget("/proc/1/ns/net"))
            QSKIP("needs a network namespace of its own (ctest runs it in one)");
        for (const char *tool : { "kamailio", "kamcmd", "turnserver" }) {
            if (QStandardPaths::findExecutable(tool, { "/usr/sbin", "/usr/bin" }).isEmpty())
                QSKIP(qPrintable(QString("%1 is not installed").arg(tool)));
        }
        QVERIFY(runTool("ip", { "link", "set", "lo", "up" }));
        QVERIFY(runTool("ip",
                        { "route", "add", "local", kStunAddress + "/32", "dev", "lo", "src",
                          kMapped, "table", "local" }));
        qputenv("TARNHALL_TIME_SCALE", QByteArray::number(kTimeScale));
    }

    void stunMappedAddress_data()
    {
        QTest::addColumn<bool>("stunFirst");
        QTest::newRow("connection first") << false;
        // The local port is held until the STUN answer is in: the connection follows it.
        QTest::newRow("STUN answer first") << true;
    }
    // The account's binding on kamailio carries the address STUN found, in place of the local
    // one, a moment after the answer.
    void stunMappedAddress()
    {
        QFETCH(bool, stunFirst);
        Kamailio kamailio;
        QVERIFY(kamailio.start());
        Coturn coturn;
        QVERIFY(coturn.start(kStunAddress));
        ServiceSandbox box(false);
        QVERIFY(box.isValid());
        configure(box, kamailio.port, "stun", { "group" });
        QUdpSocket holder;
        if (stunFirst) {
            QVERIFY(holder.bind(QHostAddress::AnyIPv4, 0, QAbstractSocket::DontShareAddress));
            QSettings main(box.root() + "/conf/tarnhall-server.conf", QSettings::IniFormat);
            main.setValue("sip/server-bind-random", false);
            main.setValue("sip/server-bind-port", holder.localPort());
        }
        QProcess *service = box.startService();
        QVERIFY(service);
        if (stunFirst) {
            QTRY_VERIFY_WITH_TIMEOUT(box.textLog().contains("External IP detected: " + kMapped),
                                     20000);
            QVERIFY(!box.textLog().contains("Connected to host"));
            holder.close();
        }
        QTRY_VERIFY2_WITH_TIMEOUT(
            kamailio.contacts("group").size() == 1
                && kamailio.contacts("group").at(0).contains("@" + kMapped + ":"),
            qPrintable(kamailio.contacts("group").join(' ')), 20000);
        QVERIFY(box.textLog().contains("Connected to host"));
        stop(box, service);
    }

    // Mode "auto" with a server that writes where each REGISTER came from: the bindings move
    // there. An account whose first registration is refused asks again after its pause.
    void autoReceivedAddress()
    {
        QUdpSocket server;
        QVERIFY(server.bind(QHostAddress(QHostAddress::LocalHost), 0));
        ServiceSandbox box(false);
        QVERIFY(box.isValid());
        configure(box, server.localPort(), "auto", { "group", "late" });
        QProcess *service = box.startService();
        QVERIFY(service);

        QHash<QString, QSet<QString>> bindings;
        QElapsedTimer refused;
        qint64 retriedAfter = -1;
        const auto settled = [&] {
            for (const char *user : { "group", "late" }) {
                const QSet<QString> contacts = bindings.value(user);
                if (contacts.size() != 1 || !contacts.begin()->contains("@" + kMapped + ":"))
                    return false;
            }
            return true;
        };
        QElapsedTimer limit;
        limit.start();
        while (!settled() && limit.elapsed() < 30000) {
            if (!server.hasPendingDatagrams()) {
                (void)QTest::qWaitFor([&] { return server.hasPendingDatagrams(); }, 1000);
                continue;
            }
            const QNetworkDatagram got = server.receiveDatagram();
            const QByteArray request = got.data();
            if (!request.startsWith("REGISTER "))
                continue;
            const QString user = field(request, "^To: <sip:([^@>]+)@");
            const QString contact = field(request, "^Contact: <([^>]+)>");
            const bool withdraw = field(request, "^Expires: *(\\d+)") == "0";
            const QByteArray via = ";received=" + kMapped.toUtf8()
                + ";rport=" + QByteArray::number(got.senderPort());
            QByteArray answer;
            if (user == "late" && !refused.isValid()) {
                refused.start();
                answer = scriptedReply(request, "403 Forbidden", via, "");
            } else {
                if (user == "late" && retriedAfter < 0)
                    retriedAfter = refused.elapsed();
                if (withdraw)
                    bindings[user].remove(contact);
                else
                    bindings[user].insert(contact);
                answer = scriptedReply(request, "200 OK", via, "Expires: 60\r\n");
            }
            server.writeDatagram(answer, got.senderAddress(), quint16(got.senderPort()));
        }
        QVERIFY2(settled(), qPrintable(box.textLog().right(6000)));
        QVERIFY(box.textLog().contains(
            "User 'late' register failed (403 Forbidden), next attempt in 4 s"));
        // Not before its pause (4 s of the schedule), whatever else went on meanwhile.
        QVERIFY2(retriedAfter >= 4000 / kTimeScale * 9 / 10,
                 qPrintable(QString::number(retriedAfter)));
        stop(box, service);
    }
};

TARNHALL_TEST_MAIN(TestServiceGateway)
#include "tst_servicegateway.moc"
