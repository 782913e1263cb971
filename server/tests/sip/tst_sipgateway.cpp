#include "core/env.h"
#include "core/modulehost.h"
#include "core/timescale.h"
#include "sip/sip.h"
#include "sip/sipexternaladdress.h"
#include "sip/sipuser.h"

#include <QNetworkDatagram>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

namespace {

// The owner of the module: the main settings in a file of the test's own.
class Host : public QObject, public ModuleHost
{
public:
    QSettings file { Env::configFilePath("main"), QSettings::IniFormat };

    void setValue(const QString &group, const QString &key, const QVariant &value) override
    {
        file.setValue(group + "/" + key, value);
    }
    void setDefaultValue(const QString &group, const QString &key, const QVariant &value) override
    {
        if (!file.contains(group + "/" + key))
            setValue(group, key, value);
    }
    QVariant value(const QString &group, const QString &key,
                   const QVariant &defaultValue) const override
    {
        return file.value(group + "/" + key, defaultValue);
    }
    bool restartSipAndVelk() override { return true; }
    bool isStopping() const override { return false; }
};

// kamailio as the outside server, on a loopback port free for both UDP and TCP.
class Kamailio
{
public:
    QTemporaryDir dir;
    QProcess process;
    quint16 port = 0;

    bool start()
    {
        if (port == 0) {
            QTcpServer tcp;
            QUdpSocket udp;
            while (tcp.listen(QHostAddress::LocalHost)
                   && !udp.bind(QHostAddress(QHostAddress::LocalHost), tcp.serverPort()))
                tcp.close();
            port = tcp.serverPort();
        }
        QFile in(QFINDTESTDATA("data/kamailio-registrar.cfg"));
        QFile out(dir.filePath("kamailio.cfg"));
        if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly))
            return false;
        out.write(in.readAll()
                      .replace("@PORT@", QByteArray::number(port))
                      .replace("@MODULES@", "/usr/lib/x86_64-linux-gnu/kamailio/modules/"));
        out.close();
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(
            "kamailio",
            { "-f", out.fileName(), "-DD", "-E", "-Y", dir.path(), "-m", "32", "-M", "4" });
        return process.waitForStarted();
    }
    void stop()
    {
        process.terminate();
        if (!process.waitForFinished(10000))
            process.kill();
        process.waitForFinished();
    }
    ~Kamailio() { stop(); }
};

} // namespace

class TestSipGateway : public QObject
{
    Q_OBJECT

    QStringList m_Log;

    int logged(const QString &text) const { return m_Log.filter(text).size(); }

    // The final status kamailio gives an OPTIONS for the account: relayed to the gateway when
    // the account is registered there (405 from the gateway), else 404.
    QByteArray ask(quint16 port, const QString &user)
    {
        QUdpSocket phone;
        phone.bind(QHostAddress(QHostAddress::LocalHost), 0);
        static int n = 0;
        const QByteArray branch = "z9hG4bKask" + QByteArray::number(++n);
        const QByteArray request = "OPTIONS sip:" + user.toUtf8()
            + "@127.0.0.1:" + QByteArray::number(port)
            + " SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" + QByteArray::number(phone.localPort())
            + ";branch=" + branch + "\r\nFrom: <sip:t@127.0.0.1>;tag=" + branch
            + "\r\nTo: <sip:" + user.toUtf8() + "@127.0.0.1>\r\nCall-ID: " + branch
            + "\r\nCSeq: 1 OPTIONS\r\nMax-Forwards: 70\r\nContent-Length: 0\r\n\r\n";
        phone.writeDatagram(request, QHostAddress::LocalHost, port);
        QByteArray status;
        (void)QTest::qWaitFor(
            [&] {
                while (phone.hasPendingDatagrams()) {
                    const QByteArray answer = phone.receiveDatagram().data();
                    if (answer.mid(8, 1) != "1")
                        status = answer.mid(8, 3);
                }
                return !status.isEmpty();
            },
            10000);
        return status;
    }

    // A response of the scripted server to request: its Via (with the given parameters), From,
    // To, Call-ID and CSeq, then the extra header lines.
    static QByteArray reply(const QByteArray &request, const QByteArray &status,
                            const QByteArray &viaParams, const QByteArray &extra)
    {
        QByteArray answer = "SIP/2.0 " + status + "\r\n";
        for (const QByteArray &line : request.split('\n')) {
            const QByteArray name = line.left(line.indexOf(':'));
            if (name == "Via")
                answer += line.trimmed() + viaParams + "\r\n";
            else if (name == "From" || name == "Call-ID" || name == "CSeq")
                answer += line.trimmed() + "\r\n";
            else if (name == "To")
                answer += line.trimmed() + ";tag=s1\r\n";
        }
        return answer + extra + "Content-Length: 0\r\n\r\n";
    }

    static QNetworkDatagram nextRequest(QUdpSocket &server)
    {
        if (!QTest::qWaitFor([&] { return server.hasPendingDatagrams(); }, 30000))
            return QNetworkDatagram();
        return server.receiveDatagram();
    }

private slots:
    void initTestCase()
    {
        static const QByteArray argv0 = QCoreApplication::applicationFilePath().toLocal8Bit();
        Env::initApplication(argv0.constData());
        connect(Env::instance(), &Env::viewLog, this,
                [this](const QString &line) { m_Log << line.mid(line.indexOf("]: ") + 3); });
        if (QStandardPaths::findExecutable("kamailio", { "/usr/sbin", "/usr/bin" }).isEmpty())
            QSKIP("kamailio is not installed");
    }

    // What a response reports in the Via of a branch, and in its top Via.
    void received_data()
    {
        QTest::addColumn<QString>("params");
        QTest::addColumn<QString>("address"); // empty: none reported
        QTest::addColumn<int>("port");
        QTest::newRow("both") << ";rport=5070;received=192.0.2.7"
                              << "192.0.2.7" << 5070;
        QTest::newRow("empty rport") << ";received=192.0.2.7;rport"
                                     << "192.0.2.7" << 0;
        QTest::newRow("received alone") << ";received=192.0.2.7"
                                        << "" << 0;
        QTest::newRow("rport alone") << ";rport=5070"
                                     << "" << 0;
    }
    void received()
    {
        QFETCH(QString, params);
        QFETCH(QString, address);
        QFETCH(int, port);
        const QByteArray text = "SIP/2.0 200 OK\r\nVia: SIP/2.0/UDP 10.0.0.2:5061;branch=z9hG4bKb"
            + params.toUtf8()
            + "\r\nFrom: <sip:a@s>;tag=1\r\nTo: <sip:a@s>\r\nCall-ID: c\r\nCSeq: 1 "
              "REGISTER\r\nContent-Length: 0\r\n\r\n";
        const SipMessage response(SipTransport::UDP, QHostAddress::LocalHost, 5060,
                                  QHostAddress::LocalHost, 5061, text);
        QVERIFY(response.isValid());
        QString found = "untouched";
        quint16 foundPort = 1;
        QCOMPARE(viaReceivedAddress("z9hG4bKb", response, found, foundPort), !address.isEmpty());
        QCOMPARE(found, address.isEmpty() ? QStringLiteral("untouched") : address);
        QCOMPARE(int(foundPort), address.isEmpty() ? 1 : port);
        QVERIFY(!viaReceivedAddress("z9hG4bKother", response, found, foundPort));
        QCOMPARE(topViaReceivedAddress(response), params.contains("rport") ? address : QString());
    }

    void registration_data()
    {
        QTest::addColumn<QString>("transport");
        QTest::newRow("UDP") << "UDP";
        QTest::newRow("TCP") << "TCP";
    }
    // Every account of the gateway registers on kamailio with its Digest login, refreshes its
    // registration before it expires and withdraws it at stop; refused credentials end in a
    // growing pause instead of a loop; over TCP a restarted server gets the accounts back.
    void registration()
    {
        QFETCH(QString, transport);
        QFile::remove(Env::configFilePath("main"));
        QFile::remove(Env::configFilePath("sip-users"));
        m_Log.clear();
        // Re-registration 16 s before the granted 60 s: 4.4 s at this scale.
        TimeScale::setFactor(10);
        Kamailio kamailio;
        QVERIFY(kamailio.start());
        Host host;
        host.file.setValue("sip/standalone", "false");
        host.file.setValue("sip/server-address", "127.0.0.1");
        host.file.setValue("sip/server-port", kamailio.port);
        host.file.setValue("sip/server-transport", transport);
        host.file.setValue("sip/server-bind-random", "true");
        host.file.setValue("sip/log-sip", "true");
        Sip sip(&host);
        const QHash<QString, QString> door { { "type-user", "0" },
                                             { "velk-device-id", "7" },
                                             { "sip-server-login", "door-login" },
                                             { "sip-server-password", "door-secret" } };
        QVERIFY(sip.saveUser("door", door));
        QVERIFY(sip.saveUser("group",
                             { { "type-user", "2" },
                               { "sip-server-login", "group-login" },
                               { "sip-server-password", QString::fromUtf8("gr\xc3\xbcn") } }));
        QVERIFY(sip.saveUser("bad",
                             { { "type-user", "2" },
                               { "sip-server-login", "door-login" },
                               { "sip-server-password", "wrong" } }));
        QVERIFY(sip.saveUser("plain", { { "type-user", "1" } }));
        sip.start();

        QTRY_VERIFY2_WITH_TIMEOUT(sip.findUser("group")->isRegistered(),
                                  qPrintable(m_Log.join("\n")), 30000);
        sip.isDeviceRegisteredChanged(7, true, QString());
        QTRY_VERIFY_WITH_TIMEOUT(sip.findUser("door")->isRegistered(), 30000);
        QCOMPARE(ask(kamailio.port, "door"), QByteArray("405"));
        QCOMPARE(ask(kamailio.port, "plain"), QByteArray("404"));

        QTRY_COMPARE_WITH_TIMEOUT(logged("User 'bad' register failed (credentials refused), "
                                         "next attempt in 8 s"),
                                  1, 30000);
        QCOMPARE(logged("User 'bad' register failed"), 2);
        QVERIFY(!sip.findUser("bad")->isRegistered());

        QTRY_VERIFY_WITH_TIMEOUT(logged("User 'door' comfirmed register") > 0, 30000);

        if (transport == "TCP") {
            kamailio.stop();
            QVERIFY(kamailio.start());
            QTRY_VERIFY_WITH_TIMEOUT(ask(kamailio.port, "door") == "405", 60000);
            QVERIFY(logged("on TCP lost") > 0);
        }

        sip.stop();
        QTRY_VERIFY_WITH_TIMEOUT(ask(kamailio.port, "door") == "404", 30000);
        QVERIFY(sip.waitSeconds(30));
        SipUser::m_IsStandalone = true;
    }

    // A scripted server behind the outbound proxy port: provisional answers change nothing, a
    // refusal is retried after a pause with the requested expiry, and a 200 reporting another
    // source address ("auto") withdraws the registrations and makes them again from there.
    void scriptedServer()
    {
        QFile::remove(Env::configFilePath("main"));
        QFile::remove(Env::configFilePath("sip-users"));
        m_Log.clear();
        TimeScale::setFactor(20);
        QUdpSocket server;
        QVERIFY(server.bind(QHostAddress(QHostAddress::LocalHost), 0));
        Host host;
        host.file.setValue("sip/standalone", "false");
        host.file.setValue("sip/server-address", "192.0.2.1");
        host.file.setValue("sip/server-port", 9);
        host.file.setValue("sip/server-proxy-use", "true");
        host.file.setValue("sip/server-proxy-address", "127.0.0.1");
        host.file.setValue("sip/server-proxy-port", server.localPort());
        host.file.setValue("sip/server-transport", "UDP");
        host.file.setValue("sip/server-bind-random", "true");
        Sip sip(&host);
        QVERIFY(sip.saveUser("group", { { "type-user", "2" } }));
        sip.start();

        QNetworkDatagram got = nextRequest(server);
        QVERIFY2(got.data().startsWith("REGISTER sip:192.0.2.1:9 "), got.data().constData());
        const auto answer
            = [&](const QByteArray &status, const QByteArray &via, const QByteArray &extra) {
                  server.writeDatagram(reply(got.data(), status, via, extra), got.senderAddress(),
                                       quint16(got.senderPort()));
              };
        answer("180 Ringing", "", "");
        answer("403 Forbidden", "", "");
        QTRY_COMPARE(logged("User 'group' register failed (403 Forbidden), next attempt in 4 s"),
                     1);
        SipUser *group = sip.findUser("group");
        QVERIFY(!group->isRegistered());

        got = nextRequest(server);
        QVERIFY(got.data().contains("\r\nExpires: 60\r\n"));
        answer("200 OK", ";received=192.0.2.99;rport=5099", "Expires: 120\r\n");
        QTRY_VERIFY(group->isRegistered());
        // Registered meanwhile with the old address: the refresh brings the new one.
        got = nextRequest(server);
        QVERIFY(got.data().contains("Contact: <sip:group@192.0.2.99:"));
        QVERIFY(got.data().contains("\r\nExpires: 120\r\n"));
        answer("200 OK", ";received=192.0.2.100;rport=5099", "Expires: 120\r\n");
        got = nextRequest(server);
        QVERIFY(got.data().contains("\r\nExpires: 0\r\n"));
        answer("200 OK", "", "");
        got = nextRequest(server);
        QVERIFY(got.data().contains("Contact: <sip:group@192.0.2.100:"));
        QCOMPARE(sip.extAddress(), QStringLiteral("192.0.2.100"));

        // Requests from the server: the final answer of each.
        const QList<QPair<QByteArray, QByteArray>> requests {
            { "INVITE sip:nobody@gw SIP/2.0\r\nCSeq: 1 INVITE\r\nTo: <sip:nobody@gw>", "404" },
            { "OPTIONS sip:group@gw SIP/2.0\r\nCSeq: 1 OPTIONS\r\nTo: <sip:group@gw>", "405" },
            { "BYE sip:group@gw SIP/2.0\r\nCSeq: 2 BYE\r\nTo: <sip:group@gw>;tag=a", "481" },
            { "INFO sip:group@gw SIP/2.0\r\nCSeq: 3 INFO\r\nTo: <sip:group@gw>;tag=a", "481" },
            // A group without paging doors, and a re-INVITE of no call.
            { "INVITE sip:group@gw SIP/2.0\r\nCSeq: 4 INVITE\r\nTo: <sip:group@gw>", "480" },
            { "INVITE sip:group@gw SIP/2.0\r\nCSeq: 5 INVITE\r\nTo: <sip:group@gw>;tag=a", "481" },
        };
        int n = 0;
        for (const auto &request : requests) {
            const QByteArray id = QByteArray::number(++n);
            server.writeDatagram(request.first + "\r\nVia: SIP/2.0/UDP 127.0.0.1:9;branch=z9hG4bK"
                                     + id + "\r\nFrom: <sip:s@gw>;tag=" + id + "\r\nCall-ID: c" + id
                                     + "\r\nMax-Forwards: 70\r\nContent-Length: 0\r\n\r\n",
                                 got.senderAddress(), quint16(got.senderPort()));
            QByteArray status;
            while (status.isEmpty() || status.startsWith('1')) {
                const QByteArray answer = nextRequest(server).data();
                QVERIFY(!answer.isEmpty());
                if (answer.contains("Call-ID: c" + id))
                    status = answer.mid(8, 3);
            }
            QCOMPARE(status, request.second);
        }
        sip.stop();
        QVERIFY(sip.waitSeconds(30));
        SipUser::m_IsStandalone = true;
    }
};

QTEST_GUILESS_MAIN(TestSipGateway)
#include "tst_sipgateway.moc"
