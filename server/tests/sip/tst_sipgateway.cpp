#include "../sippeers.h"
#include "conversation/conversationthread.h"
#include "core/qsmdraction.h"
#include "core/timescale.h"
#include "paneltalk.h"
#include "sip/sip.h"
#include "sip/sipexternaladdress.h"
#include "sip/sipserverinvitedialog.h"
#include "sip/sipuser.h"
#include "siptestkit.h"
#include "testmain.h"
#include "velk/velk.h"
#include "velk/velkdevice.h"
#include "velk/velkpacket.h"
#include "velklisteningport.h"
#include "velkpanel.h"

#include <QNetworkDatagram>
#include <QProcess>
#include <QSet>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtEndian>
#include <QtTest>

#include <algorithm>
#include <memory>

#include <nss.h>

// A scripted UDP server on loopback in the place of the gateway's outside server.
struct ScriptedServer
{
    QUdpSocket socket;
    QNetworkDatagram got; // the last datagram in (null after a wait in vain): answers go back to it
    QSet<QByteArray> seen;

    explicit ScriptedServer(const QHostAddress &address = QHostAddress(QHostAddress::LocalHost))
    {
        socket.bind(address, 0);
    }
    // The next datagram within 30 s that is a request of the method (none: any), past others.
    QNetworkDatagram nextRequest(const QByteArray &method = QByteArray())
    {
        const QDeadlineTimer deadline(30000);
        while (QTest::qWaitFor([this] { return socket.hasPendingDatagrams(); },
                               int(deadline.remainingTime()))) {
            got = socket.receiveDatagram();
            if (got.data().startsWith(method.isEmpty() ? method : method + ' '))
                return got;
        }
        return got = QNetworkDatagram();
    }
    QByteArray nextOf(const QByteArray &method) { return nextRequest(method).data(); }
    // The first request of a transaction not seen before: retransmissions are answered once.
    QByteArray next()
    {
        for (QByteArray data = nextRequest().data(); !data.isEmpty(); data = nextRequest().data()) {
            const QByteArray branch = data.mid(data.indexOf(";branch="), 40);
            if (!seen.contains(branch)) {
                seen.insert(branch);
                return data;
            }
        }
        return QByteArray();
    }
    // The answer to request with the given To tag (none: the request's own), header lines, SDP
    // body and Via parameters.
    void reply(const QByteArray &request, const QByteArray &status, const QByteArray &tag,
               const QByteArray &extra = QByteArray(), const QByteArray &sdp = QByteArray(),
               const QByteArray &via = QByteArray())
    {
        QByteArray answer = scriptedReply(request, status, via, extra)
                                .replace(";tag=s1", tag.isEmpty() ? "" : ";tag=" + tag);
        if (!sdp.isEmpty())
            answer.replace("Content-Length: 0\r\n\r\n",
                           "Content-Type: application/sdp\r\nContent-Length: "
                               + QByteArray::number(sdp.size()) + "\r\n\r\n" + sdp);
        socket.writeDatagram(answer, got.senderAddress(), quint16(got.senderPort()));
    }
    // The answer to the last datagram in.
    void answer(const QByteArray &status, const QByteArray &extra, const QByteArray &via = "")
    {
        reply(got.data(), status, "s1", extra, QByteArray(), via);
    }
};

// A gateway with one account on a scripted server.
struct ScriptedGateway : ScriptedServer
{
    siptest::Host host;
    std::unique_ptr<Sip> sip;

    ScriptedGateway(const QString &name, const QHash<QString, QString> &account,
                    const QString &server = "127.0.0.1")
        : ScriptedServer(QHostAddress(server).isNull() ? QHostAddress(QHostAddress::LocalHost)
                                                       : QHostAddress(server))
    {
        host.gateway(server, socket.localPort());
        sip = std::make_unique<Sip>(&host);
        sip->saveUser(name, account);
        sip->start();
    }
    ~ScriptedGateway()
    {
        sip->stop();
        sip->waitSeconds(30);
        SipUser::m_IsStandalone = true;
    }
};

// The gateway's owner, keeping the call and event records it is handed as "src dest code attr".
class RecordingHost : public siptest::Host
{
    Q_OBJECT
public:
    QStringList records;
    QList<QDateTime> starts;

public slots:
    void smdrLog(const QDateTime &start, const QString &src, const QString &dest, const qlonglong &,
                 const QSmdrAction::Type &action, const QString &attr)
    {
        records << QStringList { src, dest, QSmdrAction::code(action), attr }.join(' ');
        starts << start;
    }
};

class TestSipGateway : public QObject
{
    Q_OBJECT

    QStringList m_Log;

    int logged(const QString &text) const { return m_Log.filter(text).size(); }

    // The final status kamailio gives a phone's OPTIONS for the account: relayed to the gateway
    // when the account is registered there (405 from the gateway), else 404.
    static QByteArray ask(quint16 port, const QString &user)
    {
        QProcess sipsak;
        sipsak.start("sipsak", { "-v", "-s", QString("sip:%1@127.0.0.1:%2").arg(user).arg(port) });
        (void)QTest::qWaitFor([&] { return sipsak.state() == QProcess::NotRunning; }, 30000);
        const QByteArray out = sipsak.readAllStandardOutput();
        const int at = out.lastIndexOf("SIP/2.0 ");
        return at < 0 ? QByteArray() : out.mid(at + 8, 3);
    }

    // The value of a header line of a request or response as sent.
    static QByteArray header(const QByteArray &message, const QByteArray &name)
    {
        for (const QByteArray &line : message.split('\n')) {
            if (line.startsWith(name + ": "))
                return line.mid(name.size() + 2).trimmed();
        }
        return QByteArray();
    }

    // A challenge header line (kind "WWW" or "Proxy") with nonce number i.
    static QByteArray challenge(const QByteArray &kind, int i, bool stale)
    {
        return kind + "-Authenticate: Digest realm=\"tarn\", nonce=\"n" + QByteArray::number(i)
            + (stale ? "\", stale=true\r\n" : "\"\r\n");
    }

    void pressButton()
    {
        m_Panel->queueEvents(0, 1, 0, 0);
        m_Panel->sendReport();
        m_Panel->queueEvents(0, 2, 0, 0);
        m_Panel->sendReport();
    }

    // Whether a request of door 7's names the gateway's own address and port in Via and Contact.
    bool namesGateway(const QByteArray &request) const
    {
        const QByteArray end = "127.0.0.1:" + QByteArray::number(m_GatewayPort);
        return header(request, "Via").startsWith("SIP/2.0/UDP " + end + ';')
            && header(request, "Contact") == "<sip:door@" + end + '>';
    }

    // Whether bye ends the dialog of the invite's 200 with To tag t<branch> and Contact port
    // 507<branch>, through the route set that 200 gave, naming the gateway as its sender.
    bool endsBranch(const QByteArray &bye, const QByteArray &invite, const QByteArray &branch) const
    {
        return namesGateway(bye)
            && bye.startsWith("BYE sip:phone@127.0.0.1:507" + branch + " SIP/2.0\r\n")
            && header(bye, "To").endsWith(";tag=t" + branch)
            && header(bye, "From") == header(invite, "From")
            && header(bye, "Call-ID") == header(invite, "Call-ID")
            && header(bye, "Route") == "<sip:127.0.0.1:9;lr>";
    }

    // Door 7 (account "door", with these settings beside its own) and its panel of that
    // hardware, registered on a scripted server; false when it did not get there.
    bool startDoor(const QHash<QString, QString> &account = {}, quint8 hardware = 2)
    {
        m_Server = new ScriptedServer;
        m_Host = new RecordingHost;
        m_Host->gateway("127.0.0.1", m_Server->socket.localPort());
        m_Host->file.setValue("sip/log-sip", "true");
        m_Host->file.setValue("velk/bind-address", "127.0.0.1");
        m_Host->file.setValue("velk/bind-port", 0);
        QSettings devices(Env::configFilePath("velk-devices"), QSettings::IniFormat);
        devices.clear();
        devices.setValue("7/device-password", "pw12");
        devices.setValue("7/button-account", "door");
        devices.setValue("7/button-call-rule", "phone");
        devices.setValue("7/button-press-event", 2);
        devices.sync();
        m_Sip = new Sip(m_Host);
        QHash<QString, QString> settings { { "type-user", "0" }, { "velk-device-id", "7" } };
        settings.insert(account);
        m_Sip->saveUser("door", settings);
        m_Velk = new Velk(m_Host);
        m_Velk->setSipServices(m_Sip);
        m_Sip->start();
        m_Velk->start();
        m_VelkPort = velkListeningPort(m_Velk);
        m_Panel = new VelkPanel({ 7, "pw12", hardware, 1, 0, 0 });
        if (m_VelkPort == 0 || !m_Panel->start(QHostAddress::LocalHost, m_VelkPort, 1000))
            return false;

        const QByteArray registration = m_Server->nextRequest().data();
        if (!registration.startsWith("REGISTER "))
            return false;
        m_GatewayPort = quint16(m_Server->got.senderPort());
        m_Server->reply(registration, "200 OK", "r1", "Expires: 3600\r\n");
        return QTest::qWaitFor([this] { return m_Sip->findUser("door")->isRegistered(); }, 30000);
    }

    // Door 7 (account "door") calls "phone" by its button through a scripted server, which
    // answers 180 with To tag t1; with giveUp the button again gives up. Returns the INVITE and
    // the CANCEL.
    QPair<QByteArray, QByteArray> ringDoor(bool giveUp, const QHash<QString, QString> &account = {})
    {
        if (!startDoor(account))
            return {};
        pressButton();
        const QByteArray invite = m_Server->nextOf("INVITE");
        m_Server->reply(invite, "180 Ringing", "t1", "Contact: <sip:phone@127.0.0.1:5071>\r\n");
        if (!giveUp
            || !QTest::qWaitFor([this] { return logged("SIP/2.0 180 Ringing") > 0; }, 30000))
            return { invite, QByteArray() };
        pressButton();
        return { invite, m_Server->nextOf("CANCEL") };
    }

    // A request of the phone's to the door's account through the server, in call callId; an
    // INVITE carries an audio offer, an INFO key 5. The To is the one the door answered with,
    // once it did.
    void fromPhone(const QByteArray &method, const QByteArray &callId, int cseq,
                   const QByteArray &to = "<sip:door@127.0.0.1>", const QByteArray &sdp = kSdp)
    {
        const bool info = method == "INFO";
        const QByteArray body = method == "INVITE" ? sdp
            : info                                 ? "Signal=5\r\nDuration=160\r\n"
                                                   : QByteArray();
        const QByteArray type = info ? "application/dtmf-relay" : "application/sdp";
        const QByteArray number = QByteArray::number(cseq);
        m_Server->socket.writeDatagram(
            method + " sip:door@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:"
                + QByteArray::number(m_Server->socket.localPort()) + ";branch=z9hG4bK" + callId
                + number + "\r\nFrom: <sip:phone@127.0.0.1>;tag=p" + callId + "\r\nTo: " + to
                + "\r\nCall-ID: " + callId + "\r\nCSeq: " + number + ' ' + method
                + "\r\nContact: <sip:phone@127.0.0.1:5071>\r\nMax-Forwards: 70\r\n"
                + (body.isEmpty() ? "" : "Content-Type: " + type + "\r\n")
                + "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body,
            QHostAddress(QHostAddress::LocalHost), m_GatewayPort);
    }

    // What the gateway sends next in call callId that is a final answer to a request of the
    // method, or a request of the method stray that it must not send.
    QByteArray answerIn(const QByteArray &callId, const QByteArray &method, const QByteArray &stray)
    {
        const QDeadlineTimer deadline(30000);
        for (QByteArray data = m_Server->nextRequest().data();
             !data.isEmpty() && !deadline.hasExpired(); data = m_Server->nextRequest().data()) {
            if (header(data, "Call-ID") != callId)
                continue;
            if (data.startsWith(stray + ' '))
                return data;
            if (data.startsWith("SIP/2.0 ") && data.at(8) != '1'
                && header(data, "CSeq").endsWith(' ' + method))
                return data;
        }
        return QByteArray();
    }

    static const QByteArray kSdp;
    RecordingHost *m_Host = nullptr;
    ScriptedServer *m_Server = nullptr;
    quint16 m_GatewayPort = 0;
    quint16 m_VelkPort = 0; // the door-device module's, as it bound it
    Sip *m_Sip = nullptr;
    Velk *m_Velk = nullptr;
    VelkPanel *m_Panel = nullptr;

    // The next message on a scripted TCP server's connection (none of ours has a body).
    static QByteArray nextMessage(QTcpSocket *peer, QByteArray &buffer)
    {
        (void)QTest::qWaitFor(
            [&] {
                buffer += peer->readAll();
                return buffer.contains("\r\n\r\n");
            },
            30000);
        const int end = buffer.indexOf("\r\n\r\n");
        if (end < 0)
            return QByteArray();
        const QByteArray message = buffer.left(end + 4);
        buffer.remove(0, end + 4);
        return message;
    }

private slots:
    void initTestCase()
    {
        siptest::captureLog(this, &m_Log);
        if (QStandardPaths::findExecutable("kamailio", { "/usr/sbin", "/usr/bin" }).isEmpty())
            QSKIP("kamailio is not installed");
    }
    void init()
    {
        // Host names are looked up in the hosts file alone: nothing leaves this host.
        QCOMPARE(__nss_configure_lookup("hosts", "files"), 0);
        QFile::remove(Env::configFilePath("sip-users"));
        m_Log.clear();
    }
    void cleanup()
    {
        if (m_Velk)
            m_Velk->stop();
        if (m_Sip)
            m_Sip->stop();
        if (m_Velk)
            QVERIFY(m_Velk->waitSeconds(20));
        if (m_Sip)
            QVERIFY(m_Sip->waitSeconds(20));
        delete std::exchange(m_Panel, nullptr);
        delete std::exchange(m_Velk, nullptr);
        delete std::exchange(m_Sip, nullptr);
        delete std::exchange(m_Host, nullptr);
        delete std::exchange(m_Server, nullptr);
        SipUser::m_IsStandalone = true;
    }

    void externalAddress_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("afterReconnection");
        QTest::newRow("stun keeps what it found") << int(SipExternalAddress::Stun) << "192.0.2.7";
        QTest::newRow("auto starts from the connection")
            << int(SipExternalAddress::Auto) << "127.0.0.1";
    }
    // A found address withdraws the registered accounts and, a pause later, registers them
    // again with those that came due meanwhile; the connection standing during the pause
    // changes nothing of it.
    void externalAddress()
    {
        QFETCH(int, mode);
        QFETCH(QString, afterReconnection);
        TimeScale::setFactor(20);
        SipExternalAddress external;
        external.reset(mode, QString());
        QSignalSpy withdrawn(&external, &SipExternalAddress::withdraw);
        QSignalSpy renewed(&external, &SipExternalAddress::renew);
        QVERIFY(!external.defer("door"));
        QVERIFY(external.change("192.0.2.7", { "door" }));
        QVERIFY(!external.change("192.0.2.7", { "door" }));
        QCOMPARE(withdrawn.size(), 1);
        QVERIFY(external.defer("group"));
        QVERIFY(external.defer("gone"));
        external.forget("gone");
        external.setConnection("127.0.0.1");
        QTRY_VERIFY(!external.isChanging());
        QCOMPARE(external.address(), QString("192.0.2.7"));
        QCOMPARE(renewed.size(), 2);
        QCOMPARE(renewed.at(0).at(0).toString() + renewed.at(1).at(0).toString(),
                 QString("doorgroup"));
        external.setConnection("127.0.0.1");
        QCOMPARE(external.address(), afterReconnection);
    }

    void registration_data()
    {
        QTest::addColumn<QString>("transport");
        QTest::newRow("UDP") << "UDP";
        QTest::newRow("TCP") << "TCP";
    }
    // Every account of the gateway registers on kamailio with its Digest login, refreshes its
    // registration before it expires, also beside another device's, and withdraws it at stop;
    // refused credentials end in a growing pause instead of a loop; over TCP a restarted server
    // gets the accounts back.
    void registration()
    {
        QFETCH(QString, transport);
        // Re-registration 16 s before the granted 60 s: 4.4 s at this scale.
        TimeScale::setFactor(10);
        Kamailio kamailio;
        QVERIFY(kamailio.start());
        siptest::Host host;
        host.gateway("127.0.0.1", kamailio.port);
        host.file.setValue("sip/server-transport", transport);
        host.file.setValue("sip/log-sip", "true");
        Sip sip(&host);
        QVERIFY(sip.saveUser("door",
                             { { "type-user", "0" },
                               { "velk-device-id", "7" },
                               { "sip-server-login", "door-login" },
                               { "sip-server-password", "door-secret" } }));
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
        SipUser *door = sip.findUser("door");
        QCOMPARE(door->m_ServerPort, kamailio.port);
        QCOMPARE(sip.localAddress(), QString("127.0.0.1"));
        // A device coming up makes its account ask the server; nothing registers it before.
        sip.isDeviceRegisteredChanged(7, true, QString());
        QVERIFY(!door->isRegistered());
        QTRY_VERIFY_WITH_TIMEOUT(door->isRegistered(), 30000);
        QCOMPARE(ask(kamailio.port, "door"), QByteArray("405"));
        QCOMPARE(ask(kamailio.port, "plain"), QByteArray("404"));

        QTRY_COMPARE_WITH_TIMEOUT(logged("User 'bad' register failed (credentials refused), "
                                         "next attempt in 8 s"),
                                  1, 30000);
        QCOMPARE(logged("User 'bad' register failed"), 2);
        QVERIFY(!sip.findUser("bad")->isRegistered());

        QTRY_VERIFY_WITH_TIMEOUT(logged("User 'door' comfirmed register") > 0, 30000);

        // Another device registers the door's account for longer: kamailio lists both bindings
        // on one Contact line, and the door keeps refreshing on its own expiry.
        const auto otherDevice = [&](const QString &expires) {
            QProcess sipsak;
            sipsak.start("sipsak",
                         { "-U", "-i", "-s", QString("sip:door@127.0.0.1:%1").arg(kamailio.port),
                           "-C", "sip:door@127.0.0.1:9", "-x", expires, "-u", "door-login", "-a",
                           "door-secret" });
            return sipsak.waitForFinished(30000) && sipsak.exitCode() == 0;
        };
        QVERIFY(otherDevice("600"));
        const int confirmed = logged("User 'door' comfirmed register");
        QTRY_VERIFY_WITH_TIMEOUT(logged("User 'door' comfirmed register") >= confirmed + 2, 30000);
        QVERIFY(door->expires() <= 60);
        QVERIFY(!m_Log
                     .filter(QRegularExpression(
                         "Contact: <sip:door@127\\.0\\.0\\.1:\\d+(;transport=TCP)?>;"
                         "expires=\\d+, <sip:door@127\\.0\\.0\\.1:9>"))
                     .isEmpty());
        QVERIFY(otherDevice("0"));

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

    void tcpServerAway_data()
    {
        QTest::addColumn<QString>("away");
        QTest::addColumn<QStringList>("withdrawals"); // the accounts whose withdrawal came
        QTest::newRow("server away") << "server" << QStringList();
        QTest::newRow("account made again meanwhile") << "account" << QStringList { "group" };
        QTest::newRow("account made again, away past the withdrawal's transaction")
            << "account long" << QStringList { "group" };
        // The save's own withdrawals, unanswered before it, go again after it.
        QTest::newRow("settings saved") << "save" << QStringList { "door", "group" };
        QTest::newRow("service restarted") << "restart" << QStringList();
        QTest::newRow("port taken, then saved") << "taken" << QStringList { "door", "group" };
        QTest::newRow("account made again, then saved")
            << "account saved" << QStringList { "door", "group", "group" };
        QTest::newRow("account made again, port taken meanwhile")
            << "account taken" << QStringList { "group" };
    }
    // Over TCP from a fixed local port, a server that stays away for a while: its connection is
    // opened again and again until it stands, and the accounts register again at once. What
    // is written meanwhile is told as not sent; a withdrawal written so is sent again on the new
    // connection, however long the server was away, and the REGISTER waiting for it follows its
    // answer. A save or a restart, whose own close leaves the port waiting on the old
    // connection, has the accounts back on the server from that same port within moments. A port
    // another program holds is left for a free one until it can be had again. A withdrawal owed
    // outlasts a save and goes to the server from whatever port, as the BYE of a call begun on
    // a lost connection does; each account is left bound with its contact of now alone.
    void tcpServerAway()
    {
        QFETCH(QString, away);
        QFETCH(QStringList, withdrawals);
        TimeScale::setFactor(20);
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        const quint16 port = server.serverPort();
        siptest::Host host;
        host.gateway("127.0.0.1", port);
        host.file.setValue("sip/server-transport", "TCP");
        host.file.setValue("sip/server-bind-random", "false");
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        const quint16 bindPort = probe.serverPort();
        host.file.setValue("sip/server-bind-port", bindPort);
        if (away != "taken")
            probe.close();
        host.file.setValue("sip/log-sip", "true");
        auto sip = std::make_unique<Sip>(&host);
        QVERIFY(sip->saveUser("group", { { "type-user", "2" } }));
        QVERIFY(sip->saveUser("door", { { "type-user", "0" }, { "velk-device-id", "7" } }));
        sip->start();
        QByteArray buffer;
        QStringList withdrawn;
        // The contacts each account is bound with, as a registrar keeps them, and the requests
        // whose Via names another end than that of the connection they came on.
        QHash<QString, QSet<QByteArray>> bindings;
        QList<QByteArray> strangers;
        // Answers the REGISTERs until each of the accounts has had its 200 for a binding.
        const auto registerOn = [&](QTcpSocket *peer, QStringList accounts) {
            while (!accounts.isEmpty()) {
                const QByteArray request = nextMessage(peer, buffer);
                const int at = request.indexOf("\r\nTo: <sip:") + 11;
                if (at < 11)
                    return;
                peer->write(scriptedReply(request, "200 OK", "", "Expires: 60\r\n"));
                if (!header(request, "Via")
                         .startsWith("SIP/2.0/TCP 127.0.0.1:" + QByteArray::number(peer->peerPort())
                                     + ';'))
                    strangers << request;
                const QString name = request.mid(at, request.indexOf('@', at) - at);
                const bool withdrawal = request.contains("\r\nExpires: 0\r\n");
                if (withdrawal)
                    withdrawn << name + (accounts.contains(name) ? "" : " after its REGISTER");
                else
                    accounts.removeAll(name);
                for (const QByteArray &line : request.split('\n')) {
                    const int open = line.indexOf('<');
                    if (!line.startsWith("Contact: ") || open < 0)
                        continue;
                    const QByteArray uri = line.mid(open + 1, line.indexOf('>') - open - 1);
                    if (withdrawal || line.contains(">;expires=0"))
                        bindings[name].remove(uri);
                    else
                        bindings[name].insert(uri);
                }
            }
        };
        const auto registered = [&] {
            return sip->findUser("door") && sip->findUser("door")->isRegistered()
                && sip->findUser("group")->isRegistered();
        };
        QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections(), 30000);
        QTcpSocket *peer = server.nextPendingConnection();
        registerOn(peer, { "group" });
        sip->isDeviceRegisteredChanged(7, true, QString());
        registerOn(peer, { "door" });
        QTRY_VERIFY(registered());
        // The service's end of the first connection, which a call begun on it names.
        const quint16 firstPort = peer->peerPort();
        QCOMPARE(firstPort == bindPort, away != "taken");
        if (away == "taken") {
            QVERIFY(logged(QString("Unable bind to port %1 on TCP").arg(bindPort)) > 0);
            QCOMPARE(logged(QString("Connecting from a free port instead of %1").arg(bindPort)), 1);
            probe.close();
        }

        if (away == "save" || away == "restart" || away == "taken") {
            sip->stop();
            QVERIFY(sip->waitSeconds(30));
            // The server closes its end as it sees the service's.
            QTRY_COMPARE(peer->state(), QAbstractSocket::UnconnectedState);
            delete peer;
            if (away == "restart") {
                sip.reset();
                sip = std::make_unique<Sip>(&host);
            }
            sip->start();
            sip->isDeviceRegisteredChanged(7, true, QString());
            QTRY_VERIFY2_WITH_TIMEOUT(server.hasPendingConnections(),
                                      qPrintable(m_Log.join("\n").right(3000)), 10000);
        } else {
            // Another program takes the port as the connection ends.
            if (away == "account taken")
                QVERIFY(probe.listen(QHostAddress::LocalHost, bindPort));
            server.close();
            delete peer;
            if (away.startsWith("account")) {
                // The withdrawal goes to the lost connection; the account made again waits for it.
                QTRY_VERIFY(logged("on TCP lost") > 0);
                sip->deleteUser("group");
                QVERIFY(sip->saveUser("group", { { "type-user", "2" } }));
                if (away == "account long")
                    QTRY_VERIFY(logged("User 'group' withdrawal failed (no answer)") > 0);
                if (away == "account saved") {
                    sip->stop();
                    QVERIFY(sip->waitSeconds(30));
                    sip->start();
                    sip->isDeviceRegisteredChanged(7, true, QString());
                }
            } else {
                // Refused a few times, with the refresh (44 s) written meanwhile.
                QTest::qWait(2000);
                QVERIFY(logged("Unable connect to host") > 0);
            }
            QTRY_VERIFY_WITH_TIMEOUT(logged("on TCP not sent: no connection to the server") > 0,
                                     30000);
            QVERIFY(server.listen(QHostAddress::LocalHost, port));
            QTRY_VERIFY2_WITH_TIMEOUT(server.hasPendingConnections(),
                                      qPrintable(m_Log.join("\n").right(3000)), 30000);
        }
        peer = server.nextPendingConnection();
        QCOMPARE(peer->peerPort() == bindPort, away != "account taken");
        buffer.clear();
        registerOn(peer, { "group", "door" });
        QTRY_VERIFY(registered());
        withdrawn.sort();
        QCOMPARE(withdrawn, withdrawals);
        QCOMPARE(strangers, QList<QByteArray>());
        const QByteArray end
            = "@127.0.0.1:" + QByteArray::number(peer->peerPort()) + ";transport=TCP";
        for (const char *name : { "door", "group" })
            QCOMPARE(bindings.value(name), QSet<QByteArray> { "sip:" + QByteArray(name) + end });
        // A call door took on the first connection ends on the one that stands now.
        const QByteArray invite = "INVITE sip:door@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/TCP 127.0.0.1:"
            + QByteArray::number(port)
            + ";branch=z9hG4bKp1\r\nFrom: <sip:phone@127.0.0.1>;tag=p1\r\nTo: "
              "<sip:door@127.0.0.1>;tag=d1\r\nCall-ID: c1\r\nCSeq: 1 INVITE\r\nContact: "
              "<sip:phone@127.0.0.1:5071>\r\nContent-Length: 0\r\n\r\n";
        sip->onLastByeServer(SipMessage(SipTransport::TCP, QHostAddress::LocalHost, port,
                                        QHostAddress::LocalHost, firstPort, invite),
                             "phone", true);
        QByteArray bye = nextMessage(peer, buffer);
        // Past the refreshes that may come first.
        for (; bye.startsWith("REGISTER "); bye = nextMessage(peer, buffer))
            peer->write(scriptedReply(bye, "200 OK", "", "Expires: 60\r\n"));
        const QByteArray own = "127.0.0.1:" + QByteArray::number(peer->peerPort());
        QVERIFY2(bye.startsWith("BYE ") && header(bye, "Via").startsWith("SIP/2.0/TCP " + own + ';')
                     && header(bye, "Contact") == "<sip:door@" + own + ";transport=TCP>",
                 bye.constData());
        peer->write(scriptedReply(bye, "200 OK", "", ""));
        // Nothing went to the service's own former port.
        QVERIFY(!probe.hasPendingConnections());
        sip->stop();
        QVERIFY(sip->waitSeconds(30));
        SipUser::m_IsStandalone = true;
    }

    // A UDP port another program holds is not shared: the gateway waits for it, and the log
    // and the page say why.
    void udpPortTaken()
    {
        TimeScale::setFactor(20);
        QUdpSocket holder;
        QVERIFY(holder.bind(QHostAddress(QHostAddress::AnyIPv4), 0));
        siptest::Host host;
        host.gateway("127.0.0.1", 9);
        host.file.setValue("sip/server-bind-random", "false");
        host.file.setValue("sip/server-bind-port", holder.localPort());
        Sip sip(&host);
        sip.start();
        QTRY_COMPARE(sip.socketError(), QAbstractSocket::AddressInUseError);
        QCOMPARE(sip.connectionState(), SipConnecting);
        QVERIFY(!sip.errorString().isEmpty());
        QTRY_COMPARE(logged(QString("Unable bind to port %1 on UDP").arg(holder.localPort())), 1);
        sip.stop();
        QVERIFY(sip.waitSeconds(30));
        SipUser::m_IsStandalone = true;
    }

    void registerRetryPause_data()
    {
        QTest::addColumn<QByteArray>("status");
        QTest::addColumn<QByteArray>("extra");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QString>("server");
        QTest::addColumn<int>("tries"); // REGISTERs of an attempt, the first without credentials
        QTest::newRow("408 from the server")
            << QByteArray("408 Request Timeout") << QByteArray() << "408 Request Timeout"
            << "127.0.0.1" << 1;
        QTest::newRow("no answer") << QByteArray() << QByteArray() << "no answer"
                                   << "127.0.0.1" << 1;
        QTest::newRow("no answer from a server of another address")
            << QByteArray() << QByteArray() << "no answer"
            << "127.0.0.2" << 1;
        QTest::newRow("423 without Min-Expires")
            << QByteArray("423 Interval Too Brief") << QByteArray() << "423 Interval Too Brief"
            << "127.0.0.1" << 1;
        QTest::newRow("423 asking no more")
            << QByteArray("423 Interval Too Brief") << QByteArray("Min-Expires: 60\r\n")
            << "423 Interval Too Brief"
            << "127.0.0.1" << 1;
        // The challenge to the first, then three stale nonces answered at once.
        QTest::newRow("401 calling every nonce stale")
            << QByteArray("401 Unauthorized") << challenge("WWW", 0, true)
            << "nonce still stale after 3 answers"
            << "127.0.0.1" << 5;
    }
    // A registration that times out, or is refused for a reason a retry at once would only
    // repeat, is asked again after a pause that grows with each failure in a row. A time-out
    // teaches nothing of the service's own address: no request names the server's as it.
    void registerRetryPause()
    {
        QFETCH(QByteArray, status);
        QFETCH(QByteArray, extra);
        QFETCH(QString, reason);
        QFETCH(QString, server);
        QFETCH(int, tries);
        TimeScale::setFactor(20);
        ScriptedGateway gateway("group", { { "type-user", "2" } }, server);
        const QString failed
            = "User 'group' register failed (" + reason + "), next attempt in %1 s";
        const QByteArray own = "127.0.0.1:";
        for (int pause : { 4, 8, 16 }) {
            // An attempt answered at once more often would send one with credentials here.
            for (int i = 0; i < tries; ++i) {
                const QByteArray request = gateway.next();
                QVERIFY(request.contains("\r\nExpires: 60\r\n"));
                QVERIFY2(header(request, "Via").contains(' ' + own)
                             && header(request, "Contact").contains('@' + own),
                         request.constData());
                QCOMPARE(request.contains("\r\nAuthorization: "), i > 0);
                if (!status.isEmpty())
                    gateway.answer(status, extra);
            }
            QTRY_COMPARE_WITH_TIMEOUT(logged(failed.arg(pause)), 1, 10000);
        }
        QCOMPARE(logged("User 'group' register failed"), 3);
        const QByteArray request = gateway.next();
        QVERIFY(!request.contains("\r\nAuthorization: "));
        gateway.answer("200 OK", "Expires: 60\r\n");
        QTRY_VERIFY(gateway.sip->findUser("group")->isRegistered());
        QVERIFY2(header(request, "Contact").contains('@' + own), request.constData());
        QCOMPARE(gateway.sip->extAddress(), QString("127.0.0.1"));
    }

    // A server that finds the asked expiry too brief is asked again at once for its least.
    void intervalTooBrief()
    {
        TimeScale::setFactor(20);
        ScriptedGateway gateway("group", { { "type-user", "2" } });
        QVERIFY(gateway.next().contains("\r\nExpires: 60\r\n"));
        gateway.answer("423 Interval Too Brief", "Min-Expires: 120\r\n");
        QVERIFY(gateway.next().contains("\r\nExpires: 120\r\n"));
        gateway.answer("200 OK", "Expires: 120\r\n");
        QTRY_VERIFY(gateway.sip->findUser("group")->isRegistered());
        QCOMPARE(logged("register failed"), 0);
    }

    void registerAnswers_data()
    {
        QTest::addColumn<bool>("withdrawal"); // else a registration
        // The server's answers to the road's REGISTERs in turn: a registrar's challenge with a
        // "fresh" or a "stale" nonce, a "proxy" challenge, a status, or none ("") until the
        // request's transaction gives up.
        QTest::addColumn<QStringList>("answers");
        QTest::addColumn<QString>("line"); // what the log says of the withdrawal or failure
        QTest::newRow("registered through a stale nonce")
            << false << QStringList { "fresh", "stale", "200 OK" } << QString();
        QTest::newRow("registered through three stale nonces")
            << false << QStringList { "fresh", "stale", "stale", "stale", "200 OK" } << QString();
        // A proxy and a registrar that both ask get both answers together, not each in turn.
        QTest::newRow("registered through a proxy's and a registrar's challenge")
            << false << QStringList { "proxy", "fresh", "200 OK" } << QString();
        QTest::newRow("a proxy that asks again")
            << false << QStringList { "proxy", "fresh", "proxy" }
            << "User 'group' register failed (credentials refused), next attempt in 4 s";
        QTest::newRow("withdrawn through a stale nonce")
            << true << QStringList { "fresh", "stale", "200 OK" } << QString();
        QTest::newRow("withdrawal on a nonce always stale")
            << true << QStringList { "fresh", "stale", "stale", "stale", "stale" }
            << "User 'group' withdrawal refused (nonce still stale after 3 answers)";
        QTest::newRow("withdrawal with refused credentials")
            << true << QStringList { "fresh", "fresh" }
            << "User 'group' withdrawal refused (credentials refused)";
        QTest::newRow("withdrawal refused") << true << QStringList { "403 Forbidden" }
                                            << "User 'group' withdrawal refused (403 Forbidden)";
        QTest::newRow("withdrawal unanswered past its transaction")
            << true << QStringList { "", "200 OK" }
            << "User 'group' withdrawal failed (no answer), next attempt in 4 s";
        QTest::newRow("withdrawal unanswered between stale nonces")
            << true
            << QStringList { "fresh", "stale", "", "fresh", "stale", "stale", "stale", "200 OK" }
            << "User 'group' withdrawal failed (no answer), next attempt in 4 s";
        // "save": the module restarts, from another port, instead of an answer.
        QTest::newRow("withdrawal owed across a save")
            << true << QStringList { "save", "200 OK" } << QString();
        QTest::newRow("withdrawal challenged across a save")
            << true << QStringList { "fresh", "save", "fresh", "200 OK" } << QString();
    }
    // A challenge is answered at once, and a stale nonce three times in a row at most: after
    // that, as for refused credentials, the server has said no. A withdrawal is kept until the
    // server answers it, going again in the same registration after a pause when it gets no
    // answer, and after a save; the account made again meanwhile registers once it has been
    // answered. Every request names the port it comes from.
    void registerAnswers()
    {
        QFETCH(bool, withdrawal);
        QFETCH(QStringList, answers);
        QFETCH(QString, line);
        TimeScale::setFactor(20);
        ScriptedGateway gateway("group",
                                { { "type-user", "2" },
                                  { "sip-server-login", "group-login" },
                                  { "sip-server-password", "group-secret" } });
        QByteArray request = gateway.next();
        if (withdrawal) {
            gateway.answer("200 OK", "Expires: 60\r\n");
            QTRY_VERIFY(gateway.sip->findUser("group")->isRegistered());
            gateway.sip->deleteUser("group");
            QVERIFY(gateway.sip->saveUser("group", { { "type-user", "2" } }));
            request = gateway.next();
        }
        const QByteArray callId = header(request, "Call-ID");
        const QByteArray expires = withdrawal ? "\r\nExpires: 0\r\n" : "\r\nExpires: 60\r\n";
        // The next request of this road; the withdrawals a save makes of its own are answered.
        const auto next = [&] {
            QByteArray data = gateway.next();
            for (; data.contains("\r\nExpires: 0\r\n") && header(data, "Call-ID") != callId;
                 data = gateway.next())
                gateway.answer("200 OK", "");
            return data;
        };
        bool www = false; // the credentials the request must carry, for each kind asked
        bool proxied = false;
        for (int i = 0; i < answers.size(); ++i) {
            QVERIFY2(request.contains(expires) && header(request, "Call-ID") == callId,
                     request.constData());
            QVERIFY2(header(request, "Via")
                         .startsWith("SIP/2.0/UDP 127.0.0.1:"
                                     + QByteArray::number(gateway.got.senderPort()) + ';'),
                     request.constData());
            QCOMPARE(request.contains("\r\nAuthorization: Digest username=\"group-login\""), www);
            QCOMPARE(request.contains("\r\nProxy-Authorization: Digest username=\"group-login\""),
                     proxied);
            const QString answer = answers.at(i);
            if (answer == "proxy") {
                proxied = true;
                gateway.answer("407 Proxy Authentication Required", challenge("Proxy", i, false));
            } else if (answer == "fresh" || answer == "stale") {
                www = true;
                gateway.answer("401 Unauthorized", challenge("WWW", i, answer == "stale"));
            } else if (answer == "save") {
                // Sent anew: the credentials of an old nonce do not go along.
                www = proxied = false;
                gateway.sip->stop();
                QVERIFY(gateway.sip->waitSeconds(30));
                gateway.sip->start();
            } else {
                www = proxied = false;
                if (!answer.isEmpty())
                    gateway.answer(answer.toLatin1(), "Expires: 60\r\n");
            }
            if (i + 1 < answers.size())
                request = next();
        }
        if (withdrawal || !line.isEmpty()) {
            if (!line.isEmpty())
                QTRY_COMPARE(logged(line), 1);
            // Nothing more of this road: the account's own registration follows, anew.
            request = next();
            QVERIFY2(request.contains("\r\nExpires: 60\r\n")
                         && header(request, "Call-ID") != callId,
                     request.constData());
            gateway.answer("200 OK", "Expires: 60\r\n");
        }
        QTRY_VERIFY(gateway.sip->findUser("group")->isRegistered());
        QCOMPARE(logged("User 'group' withdrawal ") + logged("register failed"),
                 line.isEmpty() ? 0 : 1);
    }

    void refreshFollowsOwnBinding_data()
    {
        // The 200's Contact lines, OWN standing for the URI the account registered.
        QTest::addColumn<QByteArray>("contacts");
        const QByteArray foreign = "<sip:group@127.0.0.1:5999>;expires=3600";
        QTest::newRow("another device's first, lines of their own")
            << "Contact: " + foreign + "\r\nContact: <OWN>;expires=30\r\n";
        // As kamailio lists them.
        QTest::newRow("one line, another device's after")
            << "Contact: <OWN>;expires=30, " + foreign + "\r\n";
        QTest::newRow("one line, display names holding commas, parameters of the server's")
            << QByteArray("Contact: \"Door, front\" <OWN;ob>;expires=30;q=0.5, "
                          "\"Desk, hall\" <sip:group@127.0.0.1:5999;ob>;expires=3600\r\n");
    }
    // The account refreshes before the expiry the server grants its own contact, wherever the
    // 200 lists it among the account's other bindings; the Expires header is another device's.
    void refreshFollowsOwnBinding()
    {
        QFETCH(QByteArray, contacts);
        TimeScale::setFactor(20);
        ScriptedGateway gateway("group",
                                { { "type-user", "2" }, { "sip-server-expires", "3600" } });
        const QByteArray contact = header(gateway.next(), "Contact");
        const int open = contact.indexOf('<');
        const QByteArray own = contact.mid(open + 1, contact.indexOf('>') - open - 1);
        QVERIFY2(own.startsWith("sip:group@127.0.0.1:"), contact.constData());
        gateway.answer("200 OK", contacts.replace("OWN", own) + "Expires: 3600\r\n");
        SipUser *group = gateway.sip->findUser("group");
        QTRY_VERIFY(group->isRegistered());
        QCOMPARE(group->expires(), quint64(30));
        // 16 s on, long before the other binding's hour.
        const QByteArray refresh = gateway.next();
        QVERIFY2(refresh.startsWith("REGISTER ") && refresh.contains("\r\nExpires: 30\r\n"),
                 refresh.constData());
    }

    void formerContactsRefused_data()
    {
        QTest::addColumn<QString>("transport");
        QTest::addColumn<QByteArray>("status"); // to the REGISTER carrying the former contact
        QTest::addColumn<QByteArray>("alone"); // to the one with the live contact alone
        QTest::addColumn<bool>("withdrawal"); // the account deleted instead of an answer
        QTest::newRow("UDP, 400") << "UDP" << QByteArray("400 Bad Request") << QByteArray("200 OK")
                                  << false;
        QTest::newRow("UDP, 403") << "UDP" << QByteArray("403 Forbidden") << QByteArray("200 OK")
                                  << false;
        QTest::newRow("TCP, 400") << "TCP" << QByteArray("400 Bad Request") << QByteArray("200 OK")
                                  << false;
        QTest::newRow("TCP, 403") << "TCP" << QByteArray("403 Forbidden") << QByteArray("200 OK")
                                  << false;
        QTest::newRow("the live contact refused too")
            << "UDP" << QByteArray("400 Bad Request") << QByteArray("400 Bad Request") << false;
        QTest::newRow("withdrawal of both refused")
            << "UDP" << QByteArray("400 Bad Request") << QByteArray() << true;
    }
    // A server that takes one contact a REGISTER refuses the one that also withdraws the
    // account's former contact, left from before the service came back from another port. The
    // account registers again at once with its live contact alone; a server that refuses that
    // too gets the usual pause. A withdrawal refused so withdraws each contact on its own.
    // The service binds ports the test reserved: over TCP the one the system picks for a
    // connection may be shared with others, and the test could not take it back.
    void formerContactsRefused()
    {
        QFETCH(QString, transport);
        QFETCH(QByteArray, status);
        QFETCH(QByteArray, alone);
        QFETCH(bool, withdrawal);
        TimeScale::setFactor(20);
        const bool tcp = transport == "TCP";
        std::unique_ptr<ScriptedServer> udp;
        QTcpServer server;
        QTcpSocket *peer = nullptr;
        QByteArray buffer;
        siptest::Host host;
        if (tcp) {
            QVERIFY(server.listen(QHostAddress::LocalHost));
            host.gateway("127.0.0.1", server.serverPort());
            host.file.setValue("sip/server-transport", "TCP");
        } else {
            udp = std::make_unique<ScriptedServer>();
            host.gateway("127.0.0.1", udp->socket.localPort());
        }
        const quint16 firstPort = tcp ? siptest::freeTcpPort() : siptest::freeUdpPort();
        host.file.setValue("sip/server-bind-random", "false");
        host.file.setValue("sip/server-bind-port", firstPort);
        host.file.setValue("sip/log-sip", "true");
        const auto receive = [&] {
            if (!tcp)
                return udp->next();
            if (!peer && QTest::qWaitFor([&] { return server.hasPendingConnections(); }, 30000))
                peer = server.nextPendingConnection();
            return peer ? nextMessage(peer, buffer) : QByteArray();
        };
        const auto respond = [&](const QByteArray &request, const QByteArray &answer,
                                 const QByteArray &expires = "60") {
            const QByteArray extra = "Expires: " + expires + "\r\n";
            if (tcp)
                peer->write(scriptedReply(request, answer, "", extra));
            else
                udp->reply(request, answer, "s1", extra);
        };
        const auto sentFrom = [&] { return tcp ? peer->peerPort() : udp->got.senderPort(); };
        const auto contactsOf = [](const QByteArray &request) {
            QList<QByteArray> contacts;
            for (const QByteArray &line : request.split('\n')) {
                if (line.startsWith("Contact: "))
                    contacts << line.mid(9).trimmed();
            }
            return contacts;
        };
        const QByteArray end = tcp ? ";transport=TCP>" : ">";
        Sip sip(&host);
        QVERIFY(sip.saveUser("door", { { "type-user", "0" }, { "velk-device-id", "7" } }));
        sip.start();
        sip.isDeviceRegisteredChanged(7, true, QString());
        QByteArray request = receive();
        QCOMPARE(sentFrom(), int(firstPort));
        const QByteArray former = "<sip:door@127.0.0.1:" + QByteArray::number(firstPort) + end;
        QCOMPARE(contactsOf(request), QList<QByteArray> { former });
        // Over UDP the refresh comes 16 s later; over TCP none comes in this test.
        respond(request, "200 OK", tcp ? "3600" : "20");
        QTRY_VERIFY(sip.findUser("door")->isRegistered());

        // The service comes back from another port, its binding still at the server: over TCP
        // the server drops the connection as another program takes the port, over UDP a
        // refresh goes unanswered before a save of another port.
        QTcpServer heldTcp;
        if (tcp) {
            QVERIFY(heldTcp.listen(QHostAddress::LocalHost, firstPort));
            peer->abort();
            delete std::exchange(peer, nullptr);
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(logged("User 'door' register failed (no answer)") > 0, 30000);
            // Reserved while the service holds its first.
            host.file.setValue("sip/server-bind-port", siptest::freeUdpPort());
            sip.stop();
            QVERIFY(sip.waitSeconds(30));
            sip.start();
            sip.isDeviceRegisteredChanged(7, true, QString());
        }
        do
            request = receive();
        while (!request.isEmpty() && sentFrom() == firstPort);
        const QByteArray live = "<sip:door@127.0.0.1:" + QByteArray::number(sentFrom()) + end;
        QCOMPARE(contactsOf(request), (QList<QByteArray> { live, former + ";expires=0" }));
        if (withdrawal) {
            // Deleted before the server answered: both contacts are withdrawn.
            sip.deleteUser("door");
            request = receive();
            QVERIFY2(request.contains("\r\nExpires: 0\r\n"), request.constData());
            QCOMPARE(contactsOf(request), (QList<QByteArray> { live, former }));
            respond(request, status);
            QList<QByteArray> each;
            for (int i = 0; i < 2; ++i) {
                request = receive();
                QVERIFY2(request.contains("\r\nExpires: 0\r\n"), request.constData());
                each << contactsOf(request);
                respond(request, "200 OK");
            }
            QCOMPARE(QSet<QByteArray>(each.cbegin(), each.cend()),
                     (QSet<QByteArray> { live, former }));
            QTRY_COMPARE(logged("User 'door' withdrawal refused (" + status
                                + "), withdrawing its 2 contacts one by one"),
                         1);
            QCOMPARE(logged("withdrawal refused"), 1);
        } else {
            respond(request, status);
            request = receive();
            QCOMPARE(contactsOf(request), QList<QByteArray> { live });
            respond(request, alone);
            if (alone != "200 OK") {
                QTRY_COMPARE(
                    logged("User 'door' register failed (" + alone + "), next attempt in 4 s"), 1);
                request = receive();
                QCOMPARE(contactsOf(request), QList<QByteArray> { live });
                respond(request, "200 OK");
            }
            QTRY_VERIFY(sip.findUser("door")->isRegistered());
            QCOMPARE(logged("User 'door' register refused (" + status
                            + ") with its former contacts, registering its contact alone"),
                     1);
            QCOMPARE(logged("register failed"), (tcp ? 0 : 1) + (alone != "200 OK" ? 1 : 0));
        }
        sip.stop();
        QVERIFY(sip.waitSeconds(30));
        SipUser::m_IsStandalone = true;
    }

    void failedRefreshKeepsCalls_data()
    {
        QTest::addColumn<QByteArray>("status");
        QTest::newRow("refused") << QByteArray("503 Service Unavailable");
        QTest::newRow("no answer") << QByteArray();
    }
    // A refresh that fails leaves the account unregistered for new calls, but its calls go on.
    void failedRefreshKeepsCalls()
    {
        QFETCH(QByteArray, status);
        TimeScale::setFactor(20);
        ScriptedGateway gateway("group", { { "type-user", "2" } });
        gateway.next();
        gateway.answer("200 OK", "Expires: 20\r\n");
        SipUser *group = gateway.sip->findUser("group");
        QTRY_VERIFY(group->isRegistered());
        group->setConversation("leg", "call");
        QSignalSpy ended(group, &SipUser::excludeCallerFromConversation);
        // The refresh, 16 s later.
        QVERIFY(!gateway.next().isEmpty());
        if (!status.isEmpty())
            gateway.answer(status, "");
        QTRY_COMPARE_WITH_TIMEOUT(logged("User 'group' register failed"), 1, 10000);
        QVERIFY(!group->isRegistered());
        QCOMPARE(group->conversations().value("leg"), QString("call"));
        QCOMPARE(ended.size(), 0);
        group->clearConversations();
    }

    void oneRegisterAtATime_data()
    {
        QTest::addColumn<QString>("server");
        QTest::newRow("server silent") << "127.0.0.1";
        QTest::newRow("server name still looked up") << "localhost";
    }
    // A door reporting while the server is silent: one REGISTER for its account, sent again by
    // its transaction alone. Reports before the connection stands send nothing; the account
    // registers once it does, with the server's address and its own.
    void oneRegisterAtATime()
    {
        QFETCH(QString, server);
        const bool name = server == "localhost";
        TimeScale::setFactor(5);
        // The name is not found until the door has reported.
        if (name)
            QCOMPARE(__nss_configure_lookup("hosts", "held-back"), 0);
        ScriptedGateway gateway("door", { { "type-user", "0" }, { "velk-device-id", "7" } },
                                server);
        QSignalSpy sent(gateway.sip.get(), &Sip::sendDatagram);
        if (name)
            QTRY_VERIFY_WITH_TIMEOUT(logged("Unable lookup host") > 0, 30000);
        else
            QTRY_COMPARE_WITH_TIMEOUT(gateway.sip->findUser("door")->m_ServerPort,
                                      gateway.socket.localPort(), 30000);
        for (int i = 0; i < 8; ++i)
            gateway.sip->isDeviceRegisteredChanged(7, true, QString());
        QCOMPARE(sent.size(), name ? 0 : 1);
        if (name)
            QCOMPARE(__nss_configure_lookup("hosts", "files"), 0);
        const QByteArray request = gateway.nextRequest().data();
        const QByteArray uri = "REGISTER sip:" + server.toLatin1() + ':'
            + QByteArray::number(gateway.socket.localPort()) + " SIP/2.0\r\n";
        QVERIFY2(request.startsWith(uri) && request.contains("\r\nContact: <sip:door@127.0.0.1:"),
                 request.constData());
    }

    // A scripted server behind the outbound proxy port: provisional answers change nothing, a
    // refusal is retried after a pause with the requested expiry, and a 200 reporting another
    // source address ("auto") withdraws the registrations and makes them again from there.
    void scriptedServer()
    {
        TimeScale::setFactor(20);
        ScriptedServer server;
        QVERIFY(server.socket.state() == QAbstractSocket::BoundState);
        siptest::Host host;
        host.gateway("192.0.2.1", 9);
        host.file.setValue("sip/server-proxy-use", "true");
        host.file.setValue("sip/server-proxy-address", "127.0.0.1");
        host.file.setValue("sip/server-proxy-port", server.socket.localPort());
        Sip sip(&host);
        QVERIFY(sip.saveUser("group", { { "type-user", "2" } }));
        sip.start();

        QNetworkDatagram got = server.nextRequest();
        QVERIFY2(got.data().startsWith("REGISTER sip:192.0.2.1:9 "), got.data().constData());
        server.answer("180 Ringing", "");
        server.answer("403 Forbidden", "");
        QTRY_COMPARE(logged("User 'group' register failed (403 Forbidden), next attempt in 4 s"),
                     1);
        SipUser *group = sip.findUser("group");
        QVERIFY(!group->isRegistered());

        got = server.nextRequest();
        QVERIFY(got.data().contains("\r\nExpires: 60\r\n"));
        server.answer("200 OK", "Expires: 120\r\n", ";received=192.0.2.99;rport=5099");
        QTRY_VERIFY(group->isRegistered());
        // Registered with the address that answer replaces: that binding goes, and a second
        // later the account registers from the new one.
        got = server.nextRequest();
        QVERIFY(got.data().contains("\r\nExpires: 0\r\n"));
        QVERIFY(got.data().contains("Contact: <sip:group@127.0.0.1:"));
        server.answer("200 OK", "");
        // Retransmissions of the withdrawal may still come (the schedule is fast).
        do
            got = server.nextRequest();
        while (got.data().contains("\r\nExpires: 0\r\n"));
        QVERIFY2(got.data().contains("Contact: <sip:group@192.0.2.99:"), got.data().constData());
        QVERIFY(got.data().contains("\r\nExpires: 120\r\n"));
        server.answer("200 OK", "Expires: 120\r\n", ";received=192.0.2.100;rport=5099");
        got = server.nextRequest();
        QVERIFY(got.data().contains("\r\nExpires: 0\r\n"));
        server.answer("200 OK", "");
        got = server.nextRequest();
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
            server.socket.writeDatagram(
                request.first + "\r\nVia: SIP/2.0/UDP 127.0.0.1:9;branch=z9hG4bK" + id
                    + "\r\nFrom: <sip:s@gw>;tag=" + id + "\r\nCall-ID: c" + id
                    + "\r\nMax-Forwards: 70\r\nContent-Length: 0\r\n\r\n",
                got.senderAddress(), quint16(got.senderPort()));
            QByteArray status;
            while (status.isEmpty() || status.startsWith('1')) {
                const QByteArray answer = server.nextRequest().data();
                QVERIFY(!answer.isEmpty());
                // Responses only: the unanswered REGISTER's random Call-ID may start with "c1".
                if (answer.startsWith("SIP/2.0 ")
                    && answer.contains("\r\nCall-ID: c" + id + "\r\n"))
                    status = answer.mid(8, 3);
            }
            QCOMPARE(status, request.second);
        }
        sip.stop();
        QVERIFY(sip.waitSeconds(30));
        SipUser::m_IsStandalone = true;
    }

    // A door that gives up while the phone rings cancels the INVITE as it was sent: the To tag
    // of the ringing answer stays out, or the server finds no such INVITE.
    void doorGivesUpCancelsInvite()
    {
        TimeScale::setFactor(1);
        const auto [invite, cancel] = ringDoor(true);
        QVERIFY2(!cancel.isEmpty(), qPrintable(m_Log.join("\n")));
        QCOMPARE(cancel.left(cancel.indexOf('\r')),
                 "CANCEL" + invite.mid(6, invite.indexOf('\r') - 6));
        for (const char *name : { "Via", "From", "To", "Call-ID" })
            QCOMPARE(header(cancel, name), header(invite, name));
        QCOMPARE(header(cancel, "CSeq"), header(invite, "CSeq").replace("INVITE", "CANCEL"));
    }

    void ringingDoorCancelledAtStop_data()
    {
        QTest::addColumn<bool>("withdrawalAnswered"); // at once, else never
        QTest::addColumn<QByteArray>("final"); // the phone's answer to the cancelled INVITE
        QTest::newRow("withdrawal answered, 487") << true << QByteArray("487 Request Terminated");
        QTest::newRow("withdrawal answered, 200 crossing the CANCEL")
            << true << QByteArray("200 OK");
        QTest::newRow("withdrawal unanswered, 487")
            << false << QByteArray("487 Request Terminated");
    }
    // The modules stop, as the service's stop or a save stops them, while a door's call rings a
    // phone: its INVITE is cancelled whatever the order of the withdrawal's answer and the call's
    // end, a 200 that crosses the CANCEL is acknowledged and ended, and the call leaves one
    // record.
    void ringingDoorCancelledAtStop()
    {
        QFETCH(bool, withdrawalAnswered);
        QFETCH(QByteArray, final);
        TimeScale::setFactor(1);
        const QByteArray invite = ringDoor(false).first;
        QVERIFY(!invite.isEmpty());
        QTRY_VERIFY(logged("SIP/2.0 180 Ringing") > 0);
        m_Velk->stop();
        m_Sip->stop();
        QByteArray cancel;
        while (cancel.isEmpty()) {
            const QByteArray request = m_Server->next();
            if (request.isEmpty())
                break;
            if (request.startsWith("REGISTER ") && withdrawalAnswered)
                m_Server->reply(request, "200 OK", "r1", "Expires: 0\r\n");
            else if (request.startsWith("CANCEL "))
                cancel = request;
        }
        QVERIFY2(!cancel.isEmpty(), qPrintable(m_Log.join("\n")));
        QCOMPARE(header(cancel, "CSeq"), header(invite, "CSeq").replace("INVITE", "CANCEL"));
        m_Server->reply(cancel, "200 OK", "t1");
        const bool answered = final.startsWith("200");
        m_Server->reply(invite, final, "t1", "Contact: <sip:phone@127.0.0.1:5071>\r\n",
                        answered ? kSdp : QByteArray());
        const QByteArray ack = m_Server->nextOf("ACK");
        QVERIFY2(header(ack, "To") == header(invite, "To") + ";tag=t1", ack.constData());
        if (answered) {
            const QByteArray bye = m_Server->nextOf("BYE");
            QVERIFY2(header(bye, "Call-ID") == header(invite, "Call-ID"), bye.constData());
            m_Server->reply(bye, "200 OK", "");
        }
        QVERIFY(m_Sip->waitSeconds(5));
        QTRY_COMPARE(m_Host->records.filter(" OUT"), QStringList { "door phone OUT NA" });
    }

    void forkedAnswersEnded_data()
    {
        QTest::addColumn<bool>("giveUp");
        QTest::newRow("crossing the door's CANCEL") << true;
        QTest::newRow("the call took the first") << false;
    }
    // 200s from two branches of a fork, each acknowledged; one that the call does not take is
    // ended on its own dialog: to its Contact, through its route set, with its To tag.
    void forkedAnswersEnded()
    {
        QFETCH(bool, giveUp);
        TimeScale::setFactor(1);
        const auto [invite, cancel] = ringDoor(giveUp);
        QVERIFY2(!invite.isEmpty() && cancel.isEmpty() != giveUp, qPrintable(m_Log.join("\n")));
        if (giveUp)
            m_Server->reply(cancel, "200 OK", "t1");
        const auto nextBye = [this] {
            const QByteArray bye = m_Server->nextOf("BYE");
            m_Server->reply(bye, "200 OK", "");
            return bye;
        };
        for (const QByteArray branch : { "1", "2" }) {
            m_Server->reply(invite, "200 OK", "t" + branch,
                            "Contact: <sip:phone@127.0.0.1:507" + branch
                                + ">\r\nRecord-Route: <sip:127.0.0.1:9;lr>\r\n",
                            kSdp);
            const QByteArray ack = m_Server->nextOf("ACK");
            QVERIFY2(namesGateway(ack)
                         && header(ack, "To") == header(invite, "To") + ";tag=t" + branch,
                     ack.constData());
            if (giveUp || branch == "2") {
                const QByteArray bye = nextBye();
                QVERIFY2(endsBranch(bye, invite, branch), bye.constData());
            }
        }
        if (!giveUp) {
            // The call's own end still reaches the branch it took.
            pressButton();
            const QByteArray bye = nextBye();
            QVERIFY2(endsBranch(bye, invite, "1"), bye.constData());
        }
    }

    void doorEndsIncomingCall_data()
    {
        QTest::addColumn<quint8>("hardware");
        QTest::addColumn<quint8>("key");
        QTest::addColumn<bool>("ringHeld");
        QTest::addColumn<QByteArray>("status");
        QTest::newRow("gives up before the ring is acknowledged")
            << quint8(2) << quint8(1) << true << QByteArray("503");
        QTest::newRow("keypad reject") << quint8(5) << quint8(11) << false << QByteArray("603");
    }
    // A door that ends a call from the server before answering it: the INVITE has its final
    // answer at once and is never cancelled, a later CANCEL finds it answered, the call has one
    // unanswered record, and the panel is left with its outputs off.
    void doorEndsIncomingCall()
    {
        QFETCH(quint8, hardware);
        QFETCH(quint8, key);
        QFETCH(bool, ringHeld);
        QFETCH(QByteArray, status);
        TimeScale::setFactor(1);
        QVERIFY(startDoor({ { "velk-autoanswer", "false" } }, hardware));
        VelkDevice *device = m_Velk->findDevice(7);
        QList<QPair<quint32, int>> outputs; // set-outputs commands in: sequence, call byte
        QObject scope;
        connect(m_Panel, &VelkPanel::requestReceived, &scope,
                [&](int command, quint32 at, int, int call) {
                    if (command == 6)
                        outputs << qMakePair(at, call);
                });
        const auto ringAt = [&] {
            return std::find_if(outputs.cbegin(), outputs.cend(),
                                [](const QPair<quint32, int> &o) { return o.second == 1; });
        };
        // The ring is carried out but its acknowledgement held back, as a slow panel does.
        if (ringHeld)
            m_Panel->setPolicy(6, { VelkPanel::Reply::Late, 600000 });
        fromPhone("INVITE", "c1", 1);
        QTRY_VERIFY(ringAt() != outputs.cend());
        const quint32 ring = ringAt()->first;
        QPointer<VelkPacket> ringCommand;
        for (VelkPacket *packet : device->findChildren<VelkPacket *>()) {
            if (qFromLittleEndian<quint32>(packet->datagram().constData() + 3) == ring)
                ringCommand = packet;
        }
        QTRY_COMPARE(
            device->state(),
            int(ringHeld ? VelkDevice::IncomingCallRequire : VelkDevice::IncomingCallWaitAnswer));
        m_Panel->queueEvents(0, key, 0, 0);
        m_Panel->sendReport();

        const QByteArray answer = answerIn("c1", "INVITE", "CANCEL");
        QVERIFY2(answer.startsWith("SIP/2.0 " + status), answer.constData());
        fromPhone("ACK", "c1", 1, header(answer, "To"));
        fromPhone("CANCEL", "c1", 1);
        const QByteArray cancelled = answerIn("c1", "CANCEL", "CANCEL");
        QVERIFY2(cancelled.startsWith("SIP/2.0 200 "), cancelled.constData());
        QTRY_VERIFY(!m_Sip->findConversation("c1"));
        QCOMPARE(m_Host->records.filter(" INC"), QStringList { "phone door INC NA" });

        // The ring command goes no more once the call switched the outputs off.
        QTRY_VERIFY_WITH_TIMEOUT(!ringCommand, 60000);
        const auto off = std::find_if(ringAt(), outputs.cend(),
                                      [](const QPair<quint32, int> &o) { return o.second == 255; });
        QVERIFY(off != outputs.cend());
        QVERIFY2(std::none_of(off, outputs.cend(),
                              [ring](const QPair<quint32, int> &o) { return o.first == ring; }),
                 "the ring command came again");
        QCOMPARE(m_Panel->stateBits() & 0x07, 0);
        QCOMPARE(device->state(), int(VelkDevice::Ready));
        QVERIFY(m_Sip->findUser("door")->isRegistered());
    }

    // An in-dialog request the server never answers ends its own call alone: the account
    // registers again, and its other call goes on.
    void lostByeEndsOnlyItsCall()
    {
        TimeScale::setFactor(10);
        const QHash<QString, QString> account { { "velk-autoanswer", "true" },
                                                { "sip-rtp-timeout", "3600" } };
        const QByteArray invite = ringDoor(false, account).first;
        QVERIFY2(!invite.isEmpty(), qPrintable(m_Log.join("\n")));
        m_Server->reply(invite, "200 OK", "t1", "Contact: <sip:phone@127.0.0.1:5071>\r\n", kSdp);
        QVERIFY(!m_Server->nextOf("ACK").isEmpty());
        // The door hangs up; its BYE goes unanswered.
        pressButton();
        QVERIFY(!m_Server->nextOf("BYE").isEmpty());
        VelkDevice *device = m_Velk->findDevice(7);
        QTRY_VERIFY(device->state() == VelkDevice::Ready && !m_Sip->findUser("door")->isBusy());

        fromPhone("INVITE", "c2", 1);
        const QByteArray ok = answerIn("c2", "INVITE", "BYE");
        QVERIFY2(ok.startsWith("SIP/2.0 200 "), ok.constData());
        fromPhone("ACK", "c2", 1, header(ok, "To"));
        QTRY_COMPARE_WITH_TIMEOUT(logged("User 'door' lost the server"), 1, 30000);
        m_Server->reply(m_Server->nextOf("REGISTER"), "200 OK", "r2", "Expires: 3600\r\n");
        QTRY_VERIFY(m_Sip->findUser("door")->isRegistered());
        QCOMPARE(device->state(), int(VelkDevice::IncomingCall));
        fromPhone("BYE", "c2", 2, header(ok, "To"));
        const QByteArray ended = answerIn("c2", "BYE", "BYE");
        QVERIFY2(ended.startsWith("SIP/2.0 200 "), ended.constData());
    }

    void inviteAnswers_data()
    {
        // The server's answers to the door's INVITEs in turn: a challenge with a "fresh" or a
        // "stale" nonce, or a status.
        QTest::addColumn<QStringList>("answers");
        QTest::addColumn<QString>("refusal"); // the log's word on the call, if it ends here
        QTest::newRow("through a stale nonce to the callee")
            << QStringList { "fresh", "stale", "486 Busy Here" } << QString();
        QTest::newRow("a nonce always stale")
            << QStringList { "fresh", "stale", "stale", "stale", "stale" }
            << "User 'door' call refused: nonce still stale after 3 answers";
    }
    // A door's call answers a stale nonce three times in a row at most: after that the server
    // has said no, and the call ends unanswered as for refused credentials.
    void inviteAnswers()
    {
        QFETCH(QStringList, answers);
        QFETCH(QString, refusal);
        TimeScale::setFactor(10);
        QVERIFY(startDoor(
            { { "sip-server-login", "door-login" }, { "sip-server-password", "door-secret" } }));
        QSignalSpy sent(m_Sip, &Sip::sendDatagram);
        pressButton();
        bool challenged = false;
        for (int i = 0; i < answers.size(); ++i) {
            // The first of each transaction: the ACK of a challenge is of the INVITE's.
            const QByteArray invite = m_Server->next();
            QVERIFY2(invite.startsWith("INVITE sip:phone@"), invite.constData());
            QCOMPARE(invite.contains("\r\nProxy-Authorization: Digest username=\"door-login\""),
                     challenged);
            const QString answer = answers.at(i);
            challenged = answer == "fresh" || answer == "stale";
            if (challenged)
                m_Server->reply(invite, "407 Proxy Authentication Required", "t1",
                                challenge("Proxy", i, answer == "stale"));
            else
                m_Server->reply(invite, answer.toLatin1(), "t1");
        }
        QTRY_COMPARE(m_Host->records.filter(" OUT"), QStringList { "door phone OUT NA" });
        QCOMPARE(logged("User 'door' call refused"), refusal.isEmpty() ? 0 : 1);
        QVERIFY(refusal.isEmpty() || logged(refusal) == 1);
        QSet<QByteArray> invites; // by CSeq: retransmissions are one
        for (const QList<QVariant> &datagram : sent) {
            const QByteArray bytes = datagram.at(3).toByteArray();
            if (bytes.startsWith("INVITE "))
                invites.insert(header(bytes, "CSeq"));
        }
        QCOMPARE(invites.size(), answers.size());
    }

    // A CANCEL that comes once the answered INVITE's transaction is over finds nothing to cancel:
    // 481, and the call goes on.
    void lateCancelKeepsTheCall()
    {
        TimeScale::setFactor(10);
        QVERIFY(startDoor({ { "velk-autoanswer", "true" }, { "sip-rtp-timeout", "3600" } }));
        fromPhone("INVITE", "c1", 1);
        const QByteArray ok = answerIn("c1", "INVITE", "BYE");
        QVERIFY2(ok.startsWith("SIP/2.0 200 "), ok.constData());
        fromPhone("ACK", "c1", 1, header(ok, "To"));
        QTRY_VERIFY(m_Sip->findChildren<SipServerInviteDialog *>().isEmpty());
        fromPhone("CANCEL", "c1", 1);
        const QByteArray refused = answerIn("c1", "CANCEL", "BYE");
        QVERIFY2(refused.startsWith("SIP/2.0 481 "), refused.constData());
        QCOMPARE(m_Velk->findDevice(7)->state(), int(VelkDevice::IncomingCall));
        QVERIFY(m_Sip->findConversation("c1"));
    }

    void earlyMediaIsNoAnswer_data()
    {
        QTest::addColumn<QByteArray>("final");
        QTest::addColumn<QString>("record");
        QTest::newRow("refused") << QByteArray("486 Busy Here") << "door phone OUT NA";
        QTest::newRow("answered") << QByteArray("200 OK") << "door phone OUT ";
    }
    // Audio in a 183 reaches the door but answers nothing: a call refused after it is
    // unanswered, and an answered one is counted from its 200.
    void earlyMediaIsNoAnswer()
    {
        QFETCH(QByteArray, final);
        QFETCH(QString, record);
        const bool answered = final.startsWith("200");
        TimeScale::setFactor(10);
        QVERIFY(startDoor({ { "sip-rtp-timeout", "3600" } }));
        VelkDevice *device = m_Velk->findDevice(7);
        bool talking = false; // the panel switched to the call's audio
        QObject scope;
        connect(m_Panel, &VelkPanel::requestReceived, &scope, [&](int command) {
            talking = talking || (command == 6 && device->state() == VelkDevice::OutgoingCall);
        });
        pressButton();
        const QByteArray invite = m_Server->nextOf("INVITE");
        const QByteArray contact = "Contact: <sip:phone@127.0.0.1:5071>\r\n";
        m_Server->reply(invite, "183 Session Progress", "t1", contact, kSdp);
        QTRY_VERIFY(talking);
        // The final answer comes in a later millisecond than the early media.
        const QDateTime early = QDateTime::currentDateTime();
        QTRY_VERIFY(QDateTime::currentDateTime() > early);
        m_Server->reply(invite, final, "t1", contact, answered ? kSdp : QByteArray());
        QVERIFY(!m_Server->nextOf("ACK").isEmpty());
        if (answered)
            pressButton();
        QTRY_COMPARE(m_Host->records.filter(" OUT"), QStringList { record });
        if (answered)
            QVERIFY(m_Host->starts.at(m_Host->records.indexOf(record)) > early);
    }

    void pageTakesNoKeys_data()
    {
        QTest::addColumn<bool>("info"); // else RFC 2833 events
        QTest::addColumn<QString>("list"); // the group's members
        QTest::newRow("INFO") << true << "door";
        QTest::newRow("RFC 2833") << false << "door";
        // A member is its name without the blanks around it.
        QTest::newRow("INFO, members written with blanks") << true << "nobody , door ";
    }
    // The keys of a group's caller never reach the paged door: "55" opens nothing.
    void pageTakesNoKeys()
    {
        QFETCH(bool, info);
        QFETCH(QString, list);
        TimeScale::setFactor(10);
        QVERIFY(startDoor({ { "velk-wiretapping", "paging" }, { "sip-rtp-timeout", "3600" } }));
        QVERIFY(m_Sip->saveUser("grp1", { { "type-user", "2" }, { "group-list", list } }));
        m_Server->reply(m_Server->nextOf("REGISTER"), "200 OK", "r2", "Expires: 3600\r\n");
        QTRY_VERIFY(m_Sip->findUser("grp1")->isRegistered());
        QUdpSocket rtp;
        QVERIFY(rtp.bind(QHostAddress(QHostAddress::LocalHost)));
        fromPhone("INVITE", "g1", 1, "<sip:grp1@127.0.0.1>",
                  QByteArray(kSdp).replace("30000", QByteArray::number(rtp.localPort())));
        const QByteArray ok = answerIn("g1", "INVITE", "BYE");
        QVERIFY2(ok.startsWith("SIP/2.0 200 "), ok.constData());
        fromPhone("ACK", "g1", 1, header(ok, "To"));
        QTRY_COMPARE(m_Velk->findDevice(7)->state(), int(VelkDevice::IncomingCall));
        QSignalSpy passed(m_Sip->findConversation("g1"), &ConversationThread::sendSipInfo);
        QSignalSpy sent(m_Velk, &Velk::sendDatagram);
        const int at = ok.indexOf("m=audio ") + 8;
        const quint16 pagePort = quint16(ok.mid(at, ok.indexOf(' ', at) - at).toUInt());
        for (int cseq : { 2, 3 }) {
            if (info) {
                fromPhone("INFO", "g1", cseq, header(ok, "To"));
                continue;
            }
            for (char end : { '\x00', '\x80' }) {
                QByteArray packet("\x80\x65\0\0\0\0\0\0\0\0\0\x01\x05\0\x01\x40", 16);
                packet[3] = char(cseq * 2 + (end ? 1 : 0));
                packet[7] = char(cseq); // each press its own event timestamp
                packet[13] = end;
                rtp.writeDatagram(packet, QHostAddress::LocalHost, pagePort);
            }
        }
        // The call offered both keys to the door's leg; whoever takes them has run after this.
        QTRY_COMPARE(passed.size(), 2);
        QCoreApplication::sendPostedEvents();
        QCOMPARE(logged("relay 1 on"), 0);
        // Nor was it sent: the line would only come with the panel's answer.
        for (const QList<QVariant> &datagram : sent) {
            const QByteArray bytes = datagram.at(2).toByteArray();
            QVERIFY(bytes.size() < 25 || bytes.at(2) != VelkProtocol::SetOutputs
                    || bytes.at(24) == 0);
        }
    }

    void callBelongsToTheDoorPressed_data()
    {
        QTest::addColumn<bool>("answered"); // else the button gives up as it rings
        QTest::newRow("answered") << true;
        QTest::newRow("given up") << false;
    }
    // Door 7's button calls as its account, which names door 8: the call is door 7's from the
    // press to its end, and its account busy meanwhile. Answered, it talks both ways with door
    // 7, the phone's 55 opens door 7's relay 1 and door 7's hang-up ends it, recorded answered;
    // given up, it is cancelled. Door 7 and the account are free then, and the next press calls
    // again.
    void callBelongsToTheDoorPressed()
    {
        QFETCH(bool, answered);
        TimeScale::setFactor(1);
        QVERIFY(startDoor({ { "sip-rtp-timeout", "3600" } }));
        QVERIFY(m_Velk->saveDevice(8, { { "device-password", "pw12" } }, true, false));
        VelkPanel named({ 8, "pw12", 2, 1, 0, 0 });
        QVERIFY(named.start(QHostAddress::LocalHost, m_VelkPort, 1000));
        QTRY_VERIFY(m_Velk->findDevice(8)->isRegistered());
        QVERIFY(m_Sip->saveUser("door", { { "velk-device-id", "8" } }));
        QUdpSocket rtp;
        QVERIFY(rtp.bind(QHostAddress(QHostAddress::LocalHost)));
        const QByteArray contact = "Contact: <sip:phone@127.0.0.1:5071>\r\n";

        pressButton();
        const QByteArray invite = m_Server->nextOf("INVITE");
        const QByteArray callId = header(invite, "Call-ID");
        QVERIFY2(!callId.isEmpty(), qPrintable(m_Log.join("\n")));
        m_Server->reply(invite, "180 Ringing", "t1", contact);
        VelkDevice *door = m_Velk->findDevice(7);
        QTRY_COMPARE(door->state(), int(VelkDevice::OutgoingCallRequire));
        QVERIFY(m_Sip->findUser("door")->isBusy());
        if (answered) {
            m_Server->reply(invite, "200 OK", "t1", contact,
                            QByteArray(kSdp).replace("30000", QByteArray::number(rtp.localPort())));
            QVERIFY(!m_Server->nextOf("ACK").isEmpty());
            QTRY_COMPARE(door->state(), int(VelkDevice::OutgoingCall));
            QVERIFY(talk(rtp, invite.mid(invite.indexOf("\r\n\r\n") + 4), *m_Panel));
            for (int cseq : { 2, 3 })
                fromPhone("INFO", callId, cseq);
            QTRY_VERIFY(m_Panel->stateBits() & 0x08);
            pressButton(); // hangs up
            const QByteArray bye = m_Server->nextOf("BYE");
            QVERIFY2(namesGateway(bye), bye.constData());
            m_Server->reply(bye, "200 OK", "");
        } else {
            pressButton(); // gives up
            const QByteArray cancel = m_Server->nextOf("CANCEL");
            QCOMPARE(header(cancel, "Call-ID"), callId);
            m_Server->reply(cancel, "200 OK", "t1");
            m_Server->reply(invite, "487 Request Terminated", "t1");
            QVERIFY(!m_Server->nextOf("ACK").isEmpty());
        }
        QTRY_VERIFY(!m_Sip->findConversation(callId));
        QTRY_COMPARE(m_Host->records.filter("phone"),
                     QStringList { answered ? "door phone OUT " : "door phone OUT NA" });
        // Idle: ready, or playing the prompt that ends a call.
        QTRY_VERIFY(door->state() == VelkDevice::Ready || door->state() == VelkDevice::Waiting);
        QTRY_VERIFY(!m_Sip->findUser("door")->isBusy());
        pressButton();
        const QByteArray again = m_Server->nextOf("INVITE");
        QVERIFY2(!again.isEmpty() && header(again, "Call-ID") != callId, again.constData());
    }

    // A paging door's account moved to an idle door during a page, its first door then leaving
    // the page: the account is free at once while the page goes on with the other member, and
    // a call to it rings its new door.
    void movedMemberLeavesThePage()
    {
        TimeScale::setFactor(10);
        QVERIFY(startDoor({ { "velk-wiretapping", "paging" }, { "sip-rtp-timeout", "3600" } }));
        QVERIFY(m_Sip->saveUser("gate",
                                { { "type-user", "0" },
                                  { "velk-device-id", "8" },
                                  { "velk-wiretapping", "paging" },
                                  { "sip-rtp-timeout", "3600" } }));
        QVERIFY(m_Sip->saveUser("grp1", { { "type-user", "2" }, { "group-list", "door, gate" } }));
        std::vector<std::unique_ptr<VelkPanel>> panels;
        for (quint16 number : { 8, 9 }) {
            QVERIFY(m_Velk->saveDevice(number, { { "device-password", "pw12" } }, true, false));
            panels.push_back(std::make_unique<VelkPanel>(VelkPanel::Config { number, "pw12", 2 }));
            QVERIFY(panels.back()->start(QHostAddress::LocalHost, m_VelkPort, 1000));
        }
        const auto registered = [this] {
            return m_Sip->findUser("gate")->isRegistered()
                && m_Sip->findUser("grp1")->isRegistered();
        };
        while (!registered()) {
            const QByteArray request = m_Server->nextOf("REGISTER");
            QVERIFY2(!request.isEmpty(), qPrintable(m_Log.join("\n")));
            m_Server->reply(request, "200 OK", "r2", "Expires: 3600\r\n");
            (void)QTest::qWaitFor(registered, 200);
        }
        fromPhone("INVITE", "g1", 1, "<sip:grp1@127.0.0.1>");
        const QByteArray ok = answerIn("g1", "INVITE", "BYE");
        QVERIFY2(ok.startsWith("SIP/2.0 200 "), ok.constData());
        fromPhone("ACK", "g1", 1, header(ok, "To"));
        VelkDevice *door = m_Velk->findDevice(7);
        VelkDevice *gate = m_Velk->findDevice(8);
        QTRY_COMPARE(door->state(), int(VelkDevice::IncomingCall));
        QTRY_COMPARE(gate->state(), int(VelkDevice::IncomingCall));

        QVERIFY(m_Sip->saveUser("door", { { "velk-device-id", "9" } }));
        QVERIFY(m_Sip->findUser("door")->isBusy()); // in the page on door 7
        pressButton(); // leaves the page
        QTRY_VERIFY(door->state() == VelkDevice::Ready || door->state() == VelkDevice::Waiting);
        QTRY_VERIFY(!m_Sip->findUser("door")->isBusy());
        QCOMPARE(gate->state(), int(VelkDevice::IncomingCall));
        QVERIFY(m_Sip->findConversation("g1"));
        fromPhone("INVITE", "c2", 1);
        QTRY_COMPARE(m_Velk->findDevice(9)->state(), int(VelkDevice::IncomingCallWaitAnswer));
        fromPhone("CANCEL", "c2", 1);
        const QByteArray cancelled = answerIn("c2", "INVITE", "BYE");
        QVERIFY2(cancelled.startsWith("SIP/2.0 487 "), cancelled.constData());
        fromPhone("ACK", "c2", 1, header(cancelled, "To"));
        QVERIFY(m_Sip->findConversation("g1"));
    }

    void deletedAccountEndsItsCalls_data()
    {
        QTest::addColumn<bool>("incoming");
        QTest::addColumn<bool>("answered");
        QTest::addColumn<int>("state");
        QTest::addColumn<QByteArray>("end");
        QTest::addColumn<QString>("record");
        QTest::addColumn<bool>("madeAgain");
        QTest::addColumn<bool>("moved");
        QTest::newRow("door's call answered")
            << false << true << int(VelkDevice::OutgoingCall) << QByteArray("BYE ")
            << "door phone OUT " << false << false;
        QTest::newRow("door's call ringing")
            << false << false << int(VelkDevice::OutgoingCallRequire) << QByteArray("CANCEL ")
            << "door phone OUT NA" << false << false;
        QTest::newRow("phone's call ringing")
            << true << false << int(VelkDevice::IncomingCallWaitAnswer)
            << QByteArray("SIP/2.0 503 ") << "phone door INC NA" << false << false;
        QTest::newRow("made again before the server answers")
            << false << true << int(VelkDevice::OutgoingCall) << QByteArray("BYE ")
            << "door phone OUT " << true << false;
        QTest::newRow("moved to another door, not deleted")
            << false << true << int(VelkDevice::OutgoingCall) << QByteArray("BYE ")
            << "door phone OUT " << false << true;
        QTest::newRow("moved while the door's call rings")
            << false << false << int(VelkDevice::OutgoingCallRequire) << QByteArray("BYE ")
            << "door phone OUT " << false << true;
        QTest::newRow("moved while the phone's call rings")
            << true << false << int(VelkDevice::IncomingCallWaitAnswer) << QByteArray("BYE ")
            << "phone door INC " << false << true;
    }
    // An account deleted in a call withdraws its registration, answering the challenge to that
    // with its own credentials, and ends the call: BYE once answered, else CANCEL or a final
    // answer. The door is released and the call has its one record. Made again meanwhile, the
    // account registers once the withdrawal has ended, so the server keeps its new binding.
    // Moved to another door instead, also while the call rings, it stays in the call until the
    // first door hangs up: that door takes the answer, and the account is free then: a call to
    // it rings its new door, and its first door, named again, calls out at the first press.
    void deletedAccountEndsItsCalls()
    {
        QFETCH(bool, incoming);
        QFETCH(bool, answered);
        QFETCH(int, state);
        QFETCH(QByteArray, end);
        QFETCH(QString, record);
        QFETCH(bool, madeAgain);
        QFETCH(bool, moved);
        TimeScale::setFactor(10);
        const QHash<QString, QString> account { { "sip-rtp-timeout", "3600" },
                                                { "sip-server-login", "door-login" },
                                                { "sip-server-password", "door-secret" } };
        QByteArray invite = "Call-ID: c1\r\n";
        if (incoming) {
            QVERIFY(startDoor(account));
            fromPhone("INVITE", "c1", 1);
        } else {
            invite = ringDoor(false, account).first;
            if (answered)
                m_Server->reply(invite, "200 OK", "t1", "Contact: <sip:phone@127.0.0.1:5071>\r\n",
                                kSdp);
        }
        VelkDevice *device = m_Velk->findDevice(7);
        QTRY_COMPARE(device->state(), state);
        if (moved) {
            QVERIFY(m_Velk->saveDevice(8, { { "device-password", "pw12" } }, true, false));
            QVERIFY(m_Sip->saveUser("door", { { "velk-device-id", "8" } }));
            // Its new door reporting changes nothing: it is in a call on the door it left.
            VelkPanel panel({ 8, "pw12", 2, 1, 0, 0 });
            QVERIFY(panel.start(QHostAddress::LocalHost, m_VelkPort, 1000));
            QTRY_VERIFY(m_Velk->findDevice(8)->isRegistered());
            QVERIFY(m_Sip->findUser("door")->isBusy());
            if (!answered && incoming) {
                pressButton(); // answers
                const QByteArray ok = answerIn("c1", "INVITE", "BYE");
                QVERIFY2(ok.startsWith("SIP/2.0 200 "), ok.constData());
                fromPhone("ACK", "c1", 1, header(ok, "To"));
            } else if (!answered) {
                m_Server->reply(invite, "200 OK", "t1", "Contact: <sip:phone@127.0.0.1:5071>\r\n",
                                kSdp);
                QVERIFY(!m_Server->nextOf("ACK").isEmpty());
            }
            QTRY_COMPARE(device->state(),
                         int(incoming ? VelkDevice::IncomingCall : VelkDevice::OutgoingCall));
            pressButton();
            const QByteArray bye = m_Server->nextOf("BYE");
            QVERIFY2(namesGateway(bye), bye.constData());
            m_Server->reply(bye, "200 OK", "");
            QTRY_VERIFY(!m_Sip->findConversation(header(invite, "Call-ID")));
            QTRY_COMPARE(m_Host->records.filter("phone"), QStringList { record });

            fromPhone("INVITE", "c2", 1);
            QTRY_COMPARE(m_Velk->findDevice(8)->state(), int(VelkDevice::IncomingCallWaitAnswer));
            fromPhone("CANCEL", "c2", 1);
            const QByteArray cancelled = answerIn("c2", "INVITE", "BYE");
            QVERIFY2(cancelled.startsWith("SIP/2.0 487 "), cancelled.constData());
            fromPhone("ACK", "c2", 1, header(cancelled, "To"));
            QTRY_VERIFY(!m_Sip->findUser("door")->isBusy());
            QVERIFY(m_Sip->saveUser("door", { { "velk-device-id", "7" } }));
            QCOMPARE(device->state(), int(VelkDevice::Ready));
            QTRY_COMPARE(m_Panel->stateBits() & 0x05, 0); // call and speaker off
            pressButton();
            QVERIFY(!m_Server->nextOf("INVITE").isEmpty());
            return;
        }

        const QPointer<SipUser> deleted = m_Sip->findUser("door");
        m_Sip->deleteUser("door");
        const QByteArray withdrawal = m_Server->nextOf("REGISTER");
        QVERIFY2(withdrawal.contains("\r\nExpires: 0\r\n"), withdrawal.constData());
        const QByteArray ended = answerIn(header(invite, "Call-ID"), "INVITE", end.trimmed());
        QVERIFY2(ended.startsWith(end) && (!answered || namesGateway(ended)), ended.constData());
        QHash<QString, QString> settings { { "type-user", "0" }, { "velk-device-id", "7" } };
        settings.insert(account);
        QVERIFY(!madeAgain || m_Sip->saveUser("door", settings));
        m_Server->reply(withdrawal, "401 Unauthorized", "",
                        "WWW-Authenticate: Digest nonce=\"n\"\r\n");
        QByteArray again;
        bool boundEarly = false;
        do {
            again = m_Server->nextOf("REGISTER");
            boundEarly |= !again.isEmpty() && !again.contains("\r\nExpires: 0\r\n");
        } while (!again.isEmpty()
                 && !again.contains("\r\nAuthorization: Digest username=\"door-login\""));
        QVERIFY2(again.contains("\r\nExpires: 0\r\n") && !boundEarly, again.constData());
        if (madeAgain) {
            m_Server->reply(again, "200 OK", "");
            do
                again = m_Server->nextOf("REGISTER");
            while (again.contains("\r\nExpires: 0\r\n"));
            m_Server->reply(again, "200 OK", "r2", "Expires: 3600\r\n");
            QTRY_VERIFY(m_Sip->findUser("door")->isRegistered());
        }
        QTRY_VERIFY(device->state() == VelkDevice::Ready || device->state() == VelkDevice::Waiting);
        QTRY_VERIFY(!m_Sip->findConversation(header(invite, "Call-ID")));
        QTRY_VERIFY(!deleted);
        QCOMPARE(m_Host->records.filter("phone"), QStringList { record });
    }
};

const QByteArray TestSipGateway::kSdp
    = "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\n"
      "t=0 0\r\nm=audio 30000 RTP/AVP 8\r\na=rtpmap:8 PCMA/8000\r\n";

TARNHALL_TEST_MAIN(TestSipGateway)
#include "tst_sipgateway.moc"
