#include "core/timescale.h"
#include "sip/sip.h"
#include "sip/sipobject.h"
#include "sip/sipuser.h"
#include "siptestkit.h"
#include "testmain.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <nss.h>

using siptest::freeUdpPort;
using siptest::Host;

class TestSipEngine : public QObject
{
    Q_OBJECT

    QStringList m_Log;

    bool logged(const QString &start) const
    {
        return std::any_of(m_Log.cbegin(), m_Log.cend(),
                           [&](const QString &line) { return line.startsWith(start); });
    }

private slots:
    void initTestCase()
    {
        siptest::captureLog(this, &m_Log);
        // Host names are looked up in the hosts file alone: nothing leaves this host.
        QCOMPARE(__nss_configure_lookup("hosts", "files"), 0);
    }

    void init()
    {
        TimeScale::setFactor(1);
        QFile::remove(Env::configFilePath("sip-users"));
        m_Log.clear();
    }

    void settingReaders_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint64>("value");
        const auto row = [](const char *name, const char *key, const char *text, qint64 value) {
            QTest::newRow(name) << QString(key) << QString(text) << value;
        };
        row("port too big", "server-port", "70000", 0);
        row("port letters", "server-port", "abc", 0);
        row("port", "server-port", "5070", 5070);
        row("false capitals", "log-sip", "FALSE", 0);
        row("no is true", "log-sip", "no", 1);
        row("duration", "call-duration", "7200", 7200);
        row("negative duration", "call-duration", "-5", 0);
        row("beyond signed", "call-duration", "18446744073709551615", 0);
    }
    void settingReaders()
    {
        QFETCH(QString, key);
        QFETCH(QString, text);
        Host host;
        host.file.setValue("sip/" + key, text);
        Sip sip(&host);
        const auto index = SipSetting::Type(Sip::settingFromName(key.toUpper()));
        const qint64 read = key == "log-sip" ? sip.settingBool(index)
            : key == "server-port"           ? sip.settingNumber(index)
                                             : sip.settingInt64(index);
        QTEST(read, "value");
    }

    void settingsWrittenBack()
    {
        Host host;
        host.file.setValue("sip/server-port", "7000");
        Sip sip(&host);
        sip.writeDefaultSettings();
        QCOMPARE(host.stored("sip/server-port").toString(), QString("7000"));

        // Index 0 writes only the key it names, and nothing without it.
        sip.saveSettings({ { "server-port", "1" } }, 0);
        QCOMPARE(host.stored("sip/server-port").toString(), QString("7000"));
        sip.saveSettings({ { "standalone", "false" } }, 0);
        QCOMPARE(host.stored("sip/standalone").toString(), QString("false"));

        // A whole form: any spelling lands under the key itself; unticked boxes become false.
        host.file.setValue("sip/log-sip", "true");
        sip.saveSettings({ { "Server-PORT", "5080" }, { "bogus", "1" } }, -1);
        QCOMPARE(host.stored("sip/server-port").toString(), QString("5080"));
        QVERIFY(!host.stored("sip/Server-PORT").isValid() && !host.stored("sip/bogus").isValid());
        QCOMPARE(host.stored("sip/log-sip").toString(), QString("false"));
        QCOMPARE(Sip::settingFromName(""), -1);
    }

    void accountStore()
    {
        Host host;
        Sip sip(&host);
        sip.saveUser("door",
                     { { "Display-Name", "Front" },
                       { "TYPE-USER", "0" },
                       { "velk-device-id", "7" },
                       { "velk-autoanswer", "true" } });
        sip.saveUser("hall", { { "velk-device-id", "7" } });
        sip.saveUser("team", { { "type-user", "2" } });
        QSettings file(Env::configFilePath("sip-users"), QSettings::IniFormat);
        QCOMPARE(file.value("door/display-name").toString(), QString("Front"));
        QVERIFY(!file.contains("door/Display-Name"));
        QCOMPARE(file.value("door/velk-priority").toString(), QString("false"));
        SipUser *door = sip.findUser("door");
        QVERIFY(door && !sip.findUser("Door") && !sip.findUser(""));
        QCOMPARE(sip.userListText("none", "hall", "door"),
                 QStringList({ "-", "hall", "door (Front)" }));
        // Members written unquoted read back as a list: the group still names them all.
        file.setValue("team/group-list", QStringList { "door", "hall" });
        QCOMPARE(sip.loadUser("team")->property("group-list").toString(), QString("door,hall"));

        // A device's report reaches its accounts, or only the one it names.
        sip.isDeviceRegisteredChanged(7, true, "hall");
        QVERIFY(!door->isRegistered() && sip.findUser("hall")->isRegistered());
        sip.isDeviceBusyChanged(7, true);
        QVERIFY(door->isBusy() && sip.findUser("hall")->isBusy());

        // Saving an account again keeps its registration.
        sip.saveUser("hall", { { "display-name", "Hall" } });
        QVERIFY(sip.findUser("hall")->isRegistered());
        QCOMPARE(sip.findUser("hall")->property("display-name").toString(), QString("Hall"));

        QVERIFY(isUsableUser(sip.findUser("team")));
        SipUser::m_IsStandalone = false;
        QVERIFY(!isUsableUser(sip.findUser("team")));
        SipUser::m_IsStandalone = true;

        // A deletion reaches the file at once, as a save does.
        sip.deleteUser("door");
        QVERIFY(!sip.findUser("door") && !sip.userExists("door"));
        const QByteArray text = readFile(Env::configFilePath("sip-users"));
        QVERIFY(!text.contains("[door]") && text.contains("[hall]"));
    }

    void contactTransports_data()
    {
        QTest::addColumn<QString>("uri");
        QTest::addColumn<int>("transport");
        QTest::newRow("tcp") << "sip:a@h;transport=tcp" << 2;
        QTest::newRow("empty") << "sip:a@h;transport=" << -1;
        QTest::newRow("none") << "sip:a@h" << 1;
    }
    void contactTransports()
    {
        QFETCH(QString, uri);
        QTEST(int(contactTransport(KBaseUri<1>(uri), SipTransport::UDP)), "transport");
    }

    // The wildcard address is what the user wrote: it stays in the file.
    void wildcardBindAddressStays()
    {
        Host host;
        Sip sip(&host);
        sip.init();
        QCOMPARE(host.stored("sip/standalone-bind-address").toString(), QString("0.0.0.0"));
        QCOMPARE(sip.localAddress(), firstInterfaceAddress("0.0.0.0"));
        delete sip.worker();
    }

    // A stop of a module that does not run leaves nothing behind to stop the next start.
    void stopWhenNotRunning()
    {
        TimeScale::setFactor(50);
        Host host;
        host.file.setValue("sip/standalone-bind-address", "127.0.0.1");
        host.file.setValue("sip/standalone-bind-port", freeUdpPort());
        Sip sip(&host);
        sip.stop();
        sip.start();
        QVERIFY(sip.ownedThread()->isRunning());
        QTest::qWait(TimeScale::toRealInt(4000));
        QVERIFY(sip.ownedThread()->isRunning());
        sip.stop();
        QVERIFY(sip.waitSeconds(30));
    }

    // The module as the service runs it: a real peer's requests get answers, both ways traced.
    void answersOnLoopback()
    {
        Host host;
        const quint16 port = freeUdpPort();
        host.file.setValue("sip/standalone-bind-address", "127.0.0.1");
        host.file.setValue("sip/standalone-bind-port", port);
        host.file.setValue("sip/log-sip", "true");
        Sip sip(&host);
        sip.start();
        QTRY_COMPARE_WITH_TIMEOUT(int(sip.connectionState()), int(SipConnected), 30000);
        QCOMPARE(sip.connectionAddress(), QString("127.0.0.1"));

        QProcess sipsak;
        sipsak.start("sipsak", { "-s", QString("sip:door@127.0.0.1:%1").arg(port), "-v" });
        QTRY_COMPARE_WITH_TIMEOUT(sipsak.state(), QProcess::NotRunning, 60000);
        QVERIFY2(sipsak.readAllStandardOutput().contains("405 Method Not Allowed"),
                 "sipsak got no answer");
        const QString trace = QString("%1 UDP 127.0.0.1:%2 %3 datagram %4 127.0.0.1:");
        QTRY_VERIFY(logged(trace.arg("->").arg(port).arg("recive", "from")));
        QTRY_VERIFY(logged(trace.arg("<-").arg(port).arg("send", "to")));
        QVERIFY(m_Log.filter(QRegularExpression("^<- UDP .*\nSIP/2.0 405 ")).size() > 0);

        sip.stop();
        QVERIFY(sip.waitSeconds(30));
        QTRY_VERIFY(logged("Stopped")); // the worker logs it from its own thread
    }

    // A send that fails is traced like any other, then its failure; an empty one not at all.
    void unsentDatagramTraced()
    {
        SipObject worker(true, 1, "127.0.0.1", 0);
        worker.run();
        QVERIFY(worker.udpPort() != 0);
        worker.sendDatagram(SipTransport::UDP, "no address", 5060, "OPTIONS x");
        worker.sendDatagram(SipTransport::UDP, "127.0.0.1", 5060, QByteArray());
        QCOMPARE(m_Log.filter("datagram", Qt::CaseInsensitive).size(), 2);
        QVERIFY(logged(QString("<- UDP 127.0.0.1:%1 send datagram to no address:5060\nOPTIONS x")
                           .arg(worker.udpPort())));
        QVERIFY(logged("Datagram to no address:5060 on UDP not sent: "));
    }

    // A gateway's requests name the local end as receiver; the trace names the server.
    void gatewayTraceNamesTheServer()
    {
        QUdpSocket server;
        QVERIFY(server.bind(QHostAddress(QHostAddress::LocalHost), 0));
        SipObject worker(true, SipTransport::UDP, "127.0.0.1", server.localPort(), false, QString(),
                         5060, 0, true, QString());
        QSignalSpy connected(&worker, &SipObject::initServerConnection);
        worker.run();
        QTRY_COMPARE(connected.size(), 1);
        const ushort local = connected.at(0).at(4).value<ushort>();
        worker.sendDatagram(SipTransport::UDP, "127.0.0.1", local, "REGISTER x");
        QTRY_VERIFY(server.hasPendingDatagrams());
        QVERIFY(logged(QString("<- UDP 127.0.0.1:%1 send datagram to 127.0.0.1:%2\nREGISTER x")
                           .arg(local)
                           .arg(server.localPort())));
    }

    // A TCP message to a new peer goes out once that connection stands, nothing waits for it,
    // and what the peer answers on it reaches the engine, framed.
    void gatewayTcpNewPeer()
    {
        QTcpServer server, other;
        QVERIFY(server.listen(QHostAddress::LocalHost) && other.listen(QHostAddress::LocalHost));
        SipObject worker(false, SipTransport::TCP, "127.0.0.1", server.serverPort(), false,
                         QString(), 5060, 0, true, QString());
        QSignalSpy connected(&worker, &SipObject::initServerConnection);
        QSignalSpy received(&worker, &SipObject::checkDatagram);
        worker.run();
        QTRY_COMPARE(connected.size(), 1);
        worker.sendDatagram(SipTransport::TCP, "127.0.0.1", other.serverPort(), "INVITE x");
        auto *peer
            = worker.findChild<QTcpSocket *>(QString("tcp:127.0.0.1:%1").arg(other.serverPort()));
        QVERIFY(peer && peer->state() != QAbstractSocket::ConnectedState);
        QTRY_VERIFY(other.hasPendingConnections());
        QTcpSocket *accepted = other.nextPendingConnection();
        QTRY_COMPARE(accepted->bytesAvailable(), qint64(8));
        QCOMPARE(accepted->readAll(), QByteArray("INVITE x"));
        const QByteArray answer = "SIP/2.0 200 OK\r\nContent-Length: 2\r\n\r\nokSIP/2.0 100 ";
        accepted->write(answer);
        QTRY_COMPARE(received.size(), 1);
        QCOMPARE(received.at(0).at(2).value<ushort>(), other.serverPort());
        QCOMPARE(received.at(0).at(5).toByteArray(), answer.left(answer.indexOf("ok") + 2));
    }

    // A port held elsewhere: one log line, a report with the error at every attempt, and the
    // socket listens once the port is free. Sped up, and once on the real clock.
    void bindRetries_data()
    {
        QTest::addColumn<double>("factor");
        QTest::newRow("fast") << 20.0;
        QTest::newRow("real clock") << 1.0;
    }
    void bindRetries()
    {
        QFETCH(double, factor);
        TimeScale::setFactor(factor);
        auto *holder = new QUdpSocket;
        QVERIFY(holder->bind(QHostAddress(QHostAddress::LocalHost), 0));
        SipObject worker(false, 1, "localhost", holder->localPort());
        QSignalSpy states(&worker, &SipObject::setConnectionState);
        worker.run();
        QTRY_VERIFY_WITH_TIMEOUT(states.size() >= 5, 30000);
        QCOMPARE(m_Log.filter("Unable to bind UDP socket").size(), 1);
        QCOMPARE(states.last().at(1).value<SipConnectionState>(), SipConnecting);
        QVERIFY(states.last().at(3).toInt() != -1);
        delete holder;
        QTRY_COMPARE_WITH_TIMEOUT(states.last().at(1).value<SipConnectionState>(), SipConnected,
                                  30000);
        QVERIFY(worker.udpPort() != 0 && logged("Started"));
    }

    void serverLookUp_data()
    {
        QTest::addColumn<QString>("server");
        QTest::newRow("address") << "127.0.0.1";
        QTest::newRow("name") << "localhost";
    }
    // Only a name of the outside server is looked up; an address is used as it stands.
    void serverLookUp()
    {
        QFETCH(QString, server);
        SipObject worker(false, SipTransport::UDP, server, freeUdpPort(), false, QString(), 5060, 0,
                         true, QString());
        QSignalSpy states(&worker, &SipObject::setConnectionState);
        worker.run();
        QTRY_COMPARE(states.last().at(1).value<SipConnectionState>(), SipConnected);
        QCOMPARE(states.at(1).at(1).value<SipConnectionState>() == SipLookingUpHost,
                 server == "localhost");
    }

    // A stop during a look-up that keeps failing ends the start-up without "Started".
    void stopDuringFailingLookup()
    {
        SipObject worker(false, SipTransport::UDP, "no-such-host.invalid", 5060, false, QString(),
                         5060, 0, true, QString());
        QSignalSpy states(&worker, &SipObject::setConnectionState);
        worker.run();
        QTRY_VERIFY_WITH_TIMEOUT(logged("Unable lookup host no-such-host.invalid"), 60000);
        QCOMPARE(states.last().at(1).value<SipConnectionState>(), SipHostNotFound);
        worker.queryTerminate();
        QCOMPARE(states.last().at(1).value<SipConnectionState>(), SipNotConnected);
        QVERIFY(!logged("Started"));
    }
};

TARNHALL_TEST_MAIN(TestSipEngine)
#include "tst_sipengine.moc"
