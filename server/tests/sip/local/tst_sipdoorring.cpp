// A phone rings a door device through the local server and the door goes away while it rings:
// the phone still hears a final answer, at once.
#include "../paneltalk.h"
#include "localserverfixture.h"

#include "conversation/conversationthread.h"
#include "core/timescale.h"
#include "sip/sip.h"
#include "sip/sipdialog.h"
#include "sip/sipuser.h"
#include "testmain.h"
#include "velk/velk.h"
#include "velk/velkdevice.h"
#include "velklisteningport.h"
#include "velkpanel.h"

#include <QtTest>

#include <algorithm>

namespace {

// alice's answer to a request the server sent her, with her Contact.
QString aliceReply(const SipMessage &request, int code)
{
    return reply(request, code, "Contact: <" + request.startLine.requestUri.toString() + ">\n",
                 kSdp, "p1");
}

// alice's request to the door's account.
const QString kToDoor = "$method sip:door@$server SIP/2.0\n"
                        "Via: SIP/2.0/UDP 127.0.0.1:$port;branch=$branch\n"
                        "From: <sip:$user@$server>;tag=a1\nTo: <sip:door@$server>$totag\n"
                        "Call-ID: ring-1\nCSeq: $cseq $method\n"
                        "Contact: <sip:$user@127.0.0.1:$port>\n$auth$type"
                        "Content-Length: $len\n\n$body";

// The door's button pressed and let go.
void pressButton(VelkPanel &panel)
{
    panel.queueEvents(0, 1, 0, 0);
    panel.sendReport();
    panel.queueEvents(0, 2, 0, 0);
    QTimer::singleShot(200, &panel, &VelkPanel::sendReport);
}

} // namespace

class TestSipDoorRing : public QObject
{
    Q_OBJECT

    LocalHost *m_Host = nullptr;
    Sip *m_Sip = nullptr;
    Velk *m_Velk = nullptr;
    quint16 m_Port = 0;
    quint16 m_VelkPort = 0;

    // Panel 7 registered as the door account, its button set to call target; it reports every
    // reportMs as well when that is given.
    bool doorCalling(VelkPanel &panel, const char *target, VelkDevice **door, int reportMs = 0)
    {
        QSignalSpy answered(&panel, &VelkPanel::answered);
        if (!panel.start(QHostAddress(QHostAddress::LocalHost), m_VelkPort, reportMs)
            || !answered.wait(10000)
            || !QTest::qWaitFor([this] { return m_Sip->findUser("door")->isRegistered(); }))
            return false;
        *door = m_Velk->findDevice(7);
        (*door)->setProperty("button-account", "door");
        (*door)->setProperty("button-call-rule", target);
        (*door)->setProperty("button-press-event", 2);
        return true;
    }

    // phone's INVITE to the account (the door's by default) in call callId with the offer sdp,
    // as cseq 2 and branch z9hG4bK-ring2 once it answered the challenge to its first with
    // password; false when no challenge came.
    bool callDoor(RawPhone &phone, const QString &password, const QString &callId = "ring-1",
                  const QString &sdp = kSdp, const QString &account = "door")
    {
        const QString toDoor = inCall(callId, account);
        QHash<QString, QString> invite { { "method", "INVITE" },
                                         { "cseq", "1" },
                                         { "branch", "z9hG4bK-ring1" },
                                         { "type", "Content-Type: application/sdp\n" },
                                         { "body", sdp } };
        phone.send(toDoor, invite);
        const SipMessage challenge = phone.next();
        if (statusCode(challenge) != 401)
            return false;
        phone.send(toDoor,
                   { { "method", "ACK" },
                     { "cseq", "1" },
                     { "branch", "z9hG4bK-ring1" },
                     { "totag", ";tag=" + toTagOf(challenge) } });
        invite["auth"] = phone.answer(
            challenge, "INVITE", QString("sip:%1@127.0.0.1:%2").arg(account).arg(m_Port), password);
        invite["cseq"] = "2";
        invite["branch"] = "z9hG4bK-ring2";
        phone.send(toDoor, invite);
        return true;
    }

    // A request of the phone's to the account (the door's by default) in call callId.
    static QString inCall(const QString &callId, const QString &account = "door")
    {
        return QString(kToDoor)
            .replace("ring-1", callId)
            .replace("sip:door@", "sip:" + account + '@');
    }

    // The final answer to the phone's call callId made by callDoor, acknowledged.
    static SipMessage finalAnswer(RawPhone &phone, const QString &callId,
                                  const QString &account = "door")
    {
        SipMessage final = phone.next();
        while (final.isValid()
               && (final.cseqMethod() != SipMethod::Invite || statusCode(final) < 200))
            final = phone.next();
        phone.send(inCall(callId, account),
                   { { "method", "ACK" },
                     { "cseq", "2" },
                     { "branch", "z9hG4bK-ring2" },
                     { "totag", ";tag=" + toTagOf(final) } });
        return final;
    }

    // The phone's call to the door's account, made by callDoor, cancelled as it rings.
    static void cancelCall(RawPhone &phone, const QString &callId)
    {
        phone.send(inCall(callId),
                   { { "method", "CANCEL" }, { "cseq", "2" }, { "branch", "z9hG4bK-ring2" } });
        QCOMPARE(statusCode(finalAnswer(phone, callId)), 487);
    }

    // The phone's INVITE from the server cancelled: the CANCEL answered, then the INVITE 487.
    static void cancelled(RawPhone &phone, const SipMessage &invite)
    {
        const SipMessage cancel = nextButInvite(phone);
        QCOMPARE(cancel.startLine.method, SipMethod::Cancel);
        QCOMPARE(cancel.callId(), invite.callId());
        phone.send(reply(cancel, 200));
        phone.send(reply(invite, 487));
        QCOMPARE(nextButInvite(phone).startLine.method, SipMethod::Ack);
    }

    // The phone's next message but the retransmissions of the INVITE it was sent, which UDP
    // brings until its answer is in.
    static SipMessage nextButInvite(RawPhone &phone)
    {
        SipMessage message = phone.next();
        while (message.startLine.method == SipMethod::Invite)
            message = phone.next();
        return message;
    }

    // The panel registered as the door of its number, added for it; it reports every reportMs
    // as well when that is given.
    bool startDoor(VelkPanel &panel, int reportMs = 0)
    {
        QSignalSpy registered(&panel, &VelkPanel::answered);
        return m_Velk->saveDevice(panel.number(), { { "device-password", "pw12" } }, true, false)
            && panel.start(QHostAddress(QHostAddress::LocalHost), m_VelkPort, reportMs)
            && registered.wait(10000);
    }

    // Group "group" of the members listed, "gate" among them: a paging door account on device.
    bool pagingGroup(int device, const QString &members)
    {
        return m_Sip->saveUser("gate",
                               { { "type-user", "0" },
                                 { "velk-device-id", QString::number(device) },
                                 { "velk-wiretapping", "paging" } })
            && m_Sip->saveUser("group", { { "type-user", "2" }, { "group-list", members } });
    }

    // The door's account on device.
    bool moveDoor(int device)
    {
        return m_Sip->saveUser("door", { { "velk-device-id", QString::number(device) } });
    }

    // The phone in call callId with panel 7, its door: the phone's "55" opens relay 1, and
    // the phone hangs up.
    static void keysThenBye(RawPhone &phone, const QString &callId, VelkPanel &panel)
    {
        QVERIFY(panel.startAudio(QByteArray(1600, char(0x90)))); // tells where to play to
        for (int i = 0; i < 2; ++i) {
            phone.send(inCall(callId),
                       { { "method", "INFO" },
                         { "type", "Content-Type: application/dtmf-relay\n" },
                         { "body", "Signal=5\r\nDuration=160\r\n" } });
            QCOMPARE(statusCode(phone.next()), 200);
        }
        QTRY_VERIFY(panel.stateBits() & 0x08);
        phone.send(inCall(callId), { { "method", "BYE" } });
        QCOMPARE(statusCode(phone.next()), 200);
    }

    // The account moved to door 8 in a call of door 7's, that call over: a call to it rings door
    // 8, and named again by door 7, it calls bob at door 7's first press.
    void freeOnItsNewDoor(RawPhone &bob, VelkPanel &panel, VelkDevice *door)
    {
        QVERIFY(callDoor(bob, "pw-bob", "ring-2"));
        QTRY_VERIFY(m_Velk->findDevice(8)->isBusy());
        cancelCall(bob, "ring-2");
        QTRY_VERIFY(!m_Sip->findUser("door")->isBusy());
        QVERIFY(moveDoor(7));
        // Its prompt over, the first door changes no state before it calls.
        QTRY_COMPARE(door->state(), int(VelkDevice::Ready));
        QTRY_COMPARE(panel.stateBits() & 0x05, 0); // call and speaker off
        pressButton(panel);
        QCOMPARE(bob.next().startLine.method, SipMethod::Invite);
    }

private slots:
    void initTestCase()
    {
        Env::initApplication(qPrintable(QCoreApplication::applicationFilePath()));
    }
    void init()
    {
        TimeScale::setFactor(1);
        m_Host = new LocalHost;
        m_Port = writeLocalServerSettings(*m_Host);
        m_Host->file.setValue("velk/bind-address", "127.0.0.1");
        m_Host->file.setValue("velk/bind-port", 0);
        // Any other text than "udp" or "tcp": both, for phones of either kind.
        m_Host->file.setValue("sip/server-transport", "udp,tcp");
        QSettings users(Env::configFilePath("sip-users"), QSettings::IniFormat);
        users.setValue("alice/sip-standalone-expires", 3600);
        users.setValue("door/type-user", 0);
        users.setValue("door/velk-device-id", 7);
        users.setValue("door/velk-autoanswer", false); // rings until its button answers
        QSettings devices(Env::configFilePath("velk-devices"), QSettings::IniFormat);
        devices.clear();
        devices.setValue("7/device-password", "pw12");
        devices.setValue("7/register-timeout", 1);
        users.sync();
        devices.sync();
        m_Sip = new Sip(m_Host);
        m_Velk = new Velk(m_Host);
        m_Velk->setSipServices(m_Sip);
        m_Sip->start();
        m_Velk->start();
        QTRY_COMPARE_WITH_TIMEOUT(m_Sip->connectionState() == SipConnected
                                      && m_Sip->socketType() == QAbstractSocket::TcpSocket,
                                  true, 10000);
        m_VelkPort = velkListeningPort(m_Velk);
        QVERIFY(m_VelkPort != 0);
    }
    void cleanup()
    {
        m_Velk->stop();
        m_Sip->stop();
        QVERIFY(m_Velk->waitSeconds(20));
        QVERIFY(m_Sip->waitSeconds(20));
        delete m_Velk;
        delete m_Sip;
        delete m_Host;
    }

    // The door gives up as the phone answers: the answer comes while the door's hang-up still
    // waits for its call to end, just after the call has cancelled the phone. The phone has
    // its 200 acknowledged and is released with BYE; nothing switches the door's call on again.
    void answerCrossesTheDoorGivingUp()
    {
        VelkPanel panel({ 7, "pw12", 2, 1, 0, 0 });
        VelkDevice *door = nullptr;
        QVERIFY(doorCalling(panel, "alice", &door));
        RawPhone alice("alice", m_Port);
        QCOMPARE(alice.registerWith(QString(), "Expires: 3600\n"), 200);
        pressButton(panel);
        const SipMessage invite = alice.next();
        QCOMPARE(invite.startLine.method, SipMethod::Invite);
        alice.send(aliceReply(invite, 180));
        QTRY_COMPARE(door->state(), int(VelkDevice::OutgoingCallRequire));

        ConversationThread *call = m_Sip->findConversation(
            m_Sip->findUser("alice")->conversationCaller(invite.callId()));
        QVERIFY(call);
        QStringList records;
        QList<int> doorStates;
        QObject collector;
        collectRecords(call, &collector, records);
        // The answer lands at the moment the ended call hands the phone back for its CANCEL.
        const QByteArray ok
            = aliceReply(invite, 200).replace(QRegularExpression("\r?\n"), "\r\n").toUtf8();
        connect(
            call, &ConversationThread::lastCancel, &collector,
            [&, port = invite.startLine.requestUri.port] {
                m_Sip->checkDatagramStandalone(SipTransport::UDP, "127.0.0.1", port, "127.0.0.1",
                                               m_Port, ok);
                doorStates << door->state();
            },
            Qt::DirectConnection);
        pressButton(panel); // gives up

        QCOMPARE(alice.next().startLine.method, SipMethod::Ack);
        const SipMessage bye = alice.next();
        QCOMPARE(bye.startLine.method, SipMethod::Bye);
        QCOMPARE(bye.callId(), invite.callId());
        alice.send(aliceReply(bye, 200));
        QCOMPARE(doorStates, QList<int> { VelkDevice::OutgoingCallRequire });
        QTRY_COMPARE(door->state(), int(VelkDevice::Ready));
        // No CANCEL for an INVITE answered already.
        const SipMessage late = alice.next(300);
        QVERIFY2(!late.isValid(), late.toByteArray().constData());
        QTRY_COMPARE(records.size(), 1);
    }

    // The phone sends early media, then fails or rings on until the ring time-out: the door,
    // in the call since the 183, is released as after a ringing failure, with one record.
    void earlyMediaThenFailure_data()
    {
        QTest::addColumn<int>("failure"); // 0: none, the ring time-out
        QTest::newRow("busy") << 486;
        QTest::newRow("declined") << 603;
        QTest::newRow("ring time-out") << 0;
    }
    void earlyMediaThenFailure()
    {
        QFETCH(int, failure);
        // 90 s of ringing 20 times as fast; the door reports on its own to stay registered.
        if (failure == 0)
            TimeScale::setFactor(20);
        VelkPanel panel({ 7, "pw12", 2, 1, 0, 0 });
        VelkDevice *door = nullptr;
        QVERIFY(doorCalling(panel, "alice", &door, 1000));
        RawPhone alice("alice", m_Port);
        QCOMPARE(alice.registerWith(QString(), "Expires: 3600\n"), 200);
        pressButton(panel);
        const SipMessage invite = alice.next();
        QCOMPARE(invite.startLine.method, SipMethod::Invite);
        ConversationThread *call = m_Sip->findConversation(
            m_Sip->findUser("alice")->conversationCaller(invite.callId()));
        QVERIFY(call);
        const QString name = call->objectName();
        QStringList records;
        QObject collector;
        collectRecords(call, &collector, records);
        alice.send(aliceReply(invite, 183));
        QTRY_COMPARE(door->state(), int(VelkDevice::OutgoingCall));
        if (failure != 0) {
            alice.send(aliceReply(invite, failure));
        } else {
            const SipMessage cancel = alice.next();
            QCOMPARE(cancel.startLine.method, SipMethod::Cancel);
            alice.send(aliceReply(cancel, 200));
            alice.send(aliceReply(invite, 487));
        }
        QCOMPARE(alice.next().startLine.method, SipMethod::Ack);
        QTRY_VERIFY(door->state() == VelkDevice::Ready || door->state() == VelkDevice::Waiting);
        QTRY_VERIFY(!m_Sip->findConversation(name));
        QCOMPARE(records, QStringList { "door alice INT NA" });
    }

    void unregisteredWhileRinging_data()
    {
        QTest::addColumn<bool>("confirmed"); // the door confirms the ring command
        QTest::addColumn<double>("factor");
        QTest::addColumn<QList<int>>("heard");
        // Before the ring command's retries could end it (with 408).
        QTest::newRow("ring command pending, the administrator unregisters the door")
            << false << 1.0 << QList<int> { 503 };
        QTest::newRow("ringing, the door's registration runs out")
            << true << 10.0 << QList<int> { 180, 503 };
    }
    void unregisteredWhileRinging()
    {
        QFETCH(bool, confirmed);
        QFETCH(double, factor);
        QFETCH(QList<int>, heard);
        TimeScale::setFactor(factor);
        VelkPanel panel({ 7, "pw12", 2, 1, 0, 0 });
        QSignalSpy answered(&panel, &VelkPanel::answered);
        QSignalSpy requests(&panel, &VelkPanel::requestReceived);
        QVERIFY(panel.start(QHostAddress(QHostAddress::LocalHost), m_VelkPort, 0));
        QVERIFY(answered.wait(10000));
        QCOMPARE(answered.first().first().toInt(), 0);
        QTRY_VERIFY(m_Sip->findUser("door")->isRegistered());
        QTRY_COMPARE(requests.size(), 1); // the outputs off of the registration
        if (!confirmed)
            panel.setPolicy(VelkProtocol::SetOutputs, { VelkPanel::Reply::Never, 0 });
        VelkDevice *door = m_Velk->findDevice(7);

        RawPhone alice("alice", m_Port);
        QCOMPARE(alice.registerWith(QString(), "Expires: 3600\n"), 200);
        QVERIFY(callDoor(alice, "pw-alice"));
        // Rung: the ring command reached the door.
        QTRY_VERIFY(requests.size() >= 2);
        if (!confirmed) {
            QCOMPARE(door->state(), int(VelkDevice::IncomingCallRequire));
            door->changeState(VelkDevice::Unregistered); // the status page's button
        }

        SipMessage final;
        for (int code : heard) {
            final = alice.next(30000);
            QCOMPARE(statusCode(final), code);
        }
        alice.send(kToDoor,
                   { { "method", "ACK" },
                     { "cseq", "2" },
                     { "branch", "z9hG4bK-ring2" },
                     { "totag", ";tag=" + toTagOf(final) } });
        QCOMPARE(door->state(), int(VelkDevice::Unregistered));
        QVERIFY(!m_Sip->findUser("door")->isRegistered());
    }

    // An account taken away in a call ends it first: its phone hears BYE, or CANCEL while it
    // rings, on its own connection, which closes once it answered; the door is released and the
    // call has its one record at once. A second device of the account, with another Contact
    // user, takes over the same way; the first one's withdrawal as it quits leaves it registered.
    void accountGoneInCall_data()
    {
        QTest::addColumn<bool>("tcp");
        QTest::addColumn<QString>("way");
        QTest::addColumn<bool>("answered");
        for (const bool tcp : { false, true }) {
            for (const QString way :
                 { "unregistered", "deleted", "expired", "registered anew", "second device" })
                QTest::addRow("%s, %s", tcp ? "TCP" : "UDP", qPrintable(way)) << tcp << way << true;
        }
        QTest::newRow("TCP, deleted, ringing") << true << "deleted" << false;
        QTest::newRow("UDP, expired, ringing") << false << "expired" << false;
        // Not taken away but moved to another door: the call stays the first door's, which
        // takes bob's keys and is released by his BYE. The account is free then: a call to it
        // rings its new door, and its first door, named again, calls out at the first press.
        QTest::newRow("UDP, door moved") << false << "door moved" << true;
    }
    void accountGoneInCall()
    {
        QFETCH(bool, tcp);
        QFETCH(QString, way);
        QFETCH(bool, answered);
        VelkPanel panel({ 7, "pw12", 2, 1, 0, 0 });
        VelkDevice *door = nullptr;
        QVERIFY(doorCalling(panel, "bob", &door));
        RawPhone bob("bob", m_Port, tcp);
        const bool second = way == "second device";
        QCOMPARE(bob.registerWith(QString(), "Expires: 60\n", QString(), second ? "bob-1" : ""),
                 200);
        pressButton(panel);
        const SipMessage invite = bob.next();
        QCOMPARE(invite.startLine.method, SipMethod::Invite);
        ConversationThread *call
            = m_Sip->findConversation(m_Sip->findUser("bob")->conversationCaller(invite.callId()));
        QVERIFY(call);
        const QString name = call->objectName();
        QStringList records;
        QObject collector;
        collectRecords(call, &collector, records);
        bob.send(reply(invite, answered ? 200 : 180));
        if (answered)
            QCOMPARE(bob.next().startLine.method, SipMethod::Ack);
        QTRY_COMPARE(door->state(),
                     int(answered ? VelkDevice::OutgoingCall : VelkDevice::OutgoingCallRequire));

        RawPhone restarted("bob", m_Port, tcp); // for the last ways
        const quint16 firstPort = tcp ? bob.connection().localPort() : 0;
        if (way == "unregistered")
            m_Sip->findUser("bob")->setRegistered(false); // the SIP module page's button
        else if (way == "deleted")
            m_Sip->deleteUser("bob"); // the accounts page's button
        else if (way == "expired")
            m_Sip->findUser("bob")->timeoutRegister();
        else if (way == "registered anew" || second)
            QCOMPARE(restarted.registerWith(), 200);
        VelkPanel moved({ 8, "pw12", 2, 1, 0, 0 });
        if (way == "door moved") {
            QVERIFY(startDoor(moved));
            QVERIFY(moveDoor(8));
            keysThenBye(bob, invite.callId(), panel);
            if (QTest::currentTestFailed())
                return;
        } else {
            const SipMessage end = nextButInvite(bob);
            QCOMPARE(int(end.startLine.method), int(answered ? SipMethod::Bye : SipMethod::Cancel));
            QCOMPARE(end.callId(), invite.callId());
            bob.send(reply(end, 200)); // the connection waits for this answer
        }
        if (tcp)
            QTRY_COMPARE(bob.connection().state(), QAbstractSocket::UnconnectedState);
        // Released: ready, or playing the prompt that ends an answered call.
        QTRY_VERIFY(door->state() == VelkDevice::Ready || door->state() == VelkDevice::Waiting);
        QTRY_VERIFY(!m_Sip->findConversation(name));
        if (way == "deleted")
            QTRY_VERIFY(!m_Sip->findChild<SipUser *>("bob")); // kept only to end its call
        QCOMPARE(records, QStringList { answered ? "door bob INT " : "door bob INT NA" });
        if (way == "door moved")
            freeOnItsNewDoor(bob, panel, door);
        if (!second)
            return;
        RawPhone reconnected("bob", m_Port, tcp);
        RawPhone &first = tcp ? reconnected : bob;
        QSignalSpy sent(m_Sip, &Sip::sendDatagram);
        QCOMPARE(first.registerWith(QString(), "Expires: 0\n",
                                    tcp ? QString("reg-bob-%1").arg(firstPort) : QString(),
                                    "bob-1"),
                 200);
        // Answered with the binding that stays, the second device's.
        QVERIFY(sent.last().at(3).toByteArray().contains("\r\nContact: <sip:bob@127.0.0.1:"));
        pressButton(panel);
        QCOMPARE(restarted.next().startLine.method, SipMethod::Invite);
    }

    void accountMovedWhileRinging_data()
    {
        QTest::addColumn<bool>("doorCalls"); // else the phone calls the door
        QTest::addColumn<QString>("record");
        QTest::newRow("door calls") << true << "door bob INT ";
        QTest::newRow("phone calls") << false << "bob door INT ";
    }
    // The account moved to another door while its door's call rings: the call stays the first
    // door's, and the account busy. Answered, the call connects that door and the phone both
    // ways and is recorded answered; the door takes the phone's keys and is released at the end,
    // and the account is free then.
    void accountMovedWhileRinging()
    {
        QFETCH(bool, doorCalls);
        QFETCH(QString, record);
        VelkPanel panel({ 7, "pw12", 2, 1, 0, 0 });
        VelkDevice *door = nullptr;
        QVERIFY(doorCalling(panel, "bob", &door));
        RawPhone bob("bob", m_Port);
        QCOMPARE(bob.registerWith(QString(), "Expires: 3600\n"), 200);
        QUdpSocket audio;
        QVERIFY(audio.bind(QHostAddress(QHostAddress::LocalHost)));
        const QString sdp = QString(kSdp).replace("30000", QString::number(audio.localPort()));
        SipMessage invite;
        if (doorCalls) {
            pressButton(panel);
            invite = bob.next();
            QCOMPARE(invite.startLine.method, SipMethod::Invite);
            bob.send(reply(invite, 180));
        } else {
            QVERIFY(callDoor(bob, "pw-bob", "ring-1", sdp));
        }
        const QString callId = doorCalls ? invite.callId() : "ring-1";
        QTRY_COMPARE(
            door->state(),
            int(doorCalls ? VelkDevice::OutgoingCallRequire : VelkDevice::IncomingCallWaitAnswer));
        ConversationThread *call
            = m_Sip->findConversation(m_Sip->findUser("bob")->conversationCaller(callId));
        QVERIFY(call);
        const QString name = call->objectName();
        QStringList records;
        QObject collector;
        collectRecords(call, &collector, records);

        QVERIFY(moveDoor(8));
        // Its new door reporting changes nothing: the account is in a call on the door it left.
        VelkPanel moved({ 8, "pw12", 2, 1, 0, 0 });
        QVERIFY(startDoor(moved));
        QTRY_VERIFY(m_Velk->findDevice(8)->isRegistered());
        QVERIFY(m_Sip->findUser("door")->isBusy());
        QByteArray offer = invite.body; // the call's side of the media
        if (doorCalls) {
            bob.send(reply(invite, 200, QString(), sdp));
            QCOMPARE(nextButInvite(bob).startLine.method, SipMethod::Ack);
        } else {
            pressButton(panel); // answers
            const SipMessage ok = finalAnswer(bob, callId);
            QCOMPARE(statusCode(ok), 200);
            offer = ok.body;
        }
        QTRY_COMPARE(door->state(),
                     int(doorCalls ? VelkDevice::OutgoingCall : VelkDevice::IncomingCall));
        QVERIFY(talk(audio, offer, panel));
        keysThenBye(bob, callId, panel);
        if (QTest::currentTestFailed())
            return;
        QTRY_VERIFY(!m_Sip->findConversation(name));
        QCOMPARE(records, QStringList { record });
        freeOnItsNewDoor(bob, panel, door);
    }

    void busyFollowsTheDoorNamed_data()
    {
        QTest::addColumn<int>("before"); // the door the account names as gate's call starts
        QTest::addColumn<int>("after"); // the door it is moved to in that call
        QTest::addColumn<int>("heard"); // by a call to it then; 0: its door rings
        QTest::newRow("moved off the door in a call onto an idle one") << 8 << 7 << 0;
        QTest::newRow("moved onto a door in a call") << 7 << 8 << 486;
    }
    // Door 8's call made by its account "gate": the door's account is as busy as the door it
    // names, the moment it is moved there too, and free once its door is.
    void busyFollowsTheDoorNamed()
    {
        QFETCH(int, before);
        QFETCH(int, after);
        QFETCH(int, heard);
        VelkPanel panel({ 7, "pw12", 2, 1, 0, 0 });
        VelkDevice *door = nullptr;
        QVERIFY(doorCalling(panel, "bob", &door));
        VelkPanel gatePanel({ 8, "pw12", 2, 1, 0, 0 });
        QVERIFY(m_Sip->saveUser("gate", { { "type-user", "0" }, { "velk-device-id", "8" } }));
        QVERIFY(startDoor(gatePanel));
        VelkDevice *gate = m_Velk->findDevice(8);
        gate->setProperty("button-account", "gate");
        gate->setProperty("button-call-rule", "bob");
        gate->setProperty("button-press-event", 2);
        QTRY_VERIFY(m_Sip->findUser("gate")->isRegistered());
        QVERIFY(moveDoor(before));
        RawPhone bob("bob", m_Port);
        QCOMPARE(bob.registerWith(QString(), "Expires: 3600\n"), 200);
        RawPhone alice("alice", m_Port);
        QCOMPARE(alice.registerWith(QString(), "Expires: 3600\n"), 200);
        pressButton(gatePanel);
        const SipMessage invite = bob.next();
        QCOMPARE(invite.startLine.method, SipMethod::Invite);
        bob.send(reply(invite, 200));
        QCOMPARE(nextButInvite(bob).startLine.method, SipMethod::Ack);
        QTRY_COMPARE(gate->state(), int(VelkDevice::OutgoingCall));

        QVERIFY(moveDoor(after));
        QVERIFY(callDoor(alice, "pw-alice", "ring-1"));
        if (heard != 0) {
            QCOMPARE(statusCode(finalAnswer(alice, "ring-1")), heard);
        } else {
            QTRY_COMPARE(m_Velk->findDevice(after)->state(),
                         int(VelkDevice::IncomingCallWaitAnswer));
            cancelCall(alice, "ring-1");
        }
        QCOMPARE(gate->state(), int(VelkDevice::OutgoingCall));
        bob.send(inCall(invite.callId()), { { "method", "BYE" } });
        QCOMPARE(statusCode(bob.next()), 200);
        // Idle: ready, or playing the prompt that ends a call.
        QTRY_VERIFY(gate->state() == VelkDevice::Ready || gate->state() == VelkDevice::Waiting);
        QTRY_VERIFY(door->state() == VelkDevice::Ready || door->state() == VelkDevice::Waiting);
        QVERIFY(callDoor(alice, "pw-alice", "ring-2"));
        QTRY_COMPARE(m_Velk->findDevice(after)->state(), int(VelkDevice::IncomingCallWaitAnswer));
        cancelCall(alice, "ring-2");
    }

    void callBelongsToTheDoorPressed_data()
    {
        QTest::addColumn<QString>("rule"); // the callees of door 7's button
        QTest::addColumn<QString>("end"); // "answered", "given up" or "ring time-out"
        QTest::newRow("one phone, answered") << "bob"
                                             << "answered";
        QTest::newRow("one phone, given up") << "bob"
                                             << "given up";
        QTest::newRow("one phone, ring time-out") << "bob"
                                                  << "ring time-out";
        QTest::newRow("a list, answered") << "bob,alice"
                                          << "answered";
        QTest::newRow("a list, given up") << "bob,alice"
                                          << "given up";
    }
    // Door 7's button calls as its account, which names door 8: the call is door 7's from the
    // press to its end, and its account busy meanwhile. Answered, it talks both ways with door
    // 7, the phone's 55 opens door 7's relay 1 and the call is recorded answered; given up or
    // timed out, it is cancelled. Door 7 and the account are free then, and the next press
    // calls again.
    void callBelongsToTheDoorPressed()
    {
        QFETCH(QString, rule);
        QFETCH(QString, end);
        const bool timeOut = end == "ring time-out";
        // 90 s of ringing 20 times as fast; the doors report on their own to stay registered.
        if (timeOut)
            TimeScale::setFactor(20);
        const int reportMs = timeOut ? 1000 : 0;
        VelkPanel panel({ 7, "pw12", 2, 1, 0, 0 });
        VelkDevice *door = nullptr;
        QVERIFY(doorCalling(panel, qPrintable(rule), &door, reportMs));
        VelkPanel named({ 8, "pw12", 2, 1, 0, 0 });
        QVERIFY(startDoor(named, reportMs));
        QVERIFY(moveDoor(8));
        m_Sip->findUser("bob")->setProperty("sip-standalone-expires", 3600); // rings on past 60 s
        RawPhone bob("bob", m_Port);
        QCOMPARE(bob.registerWith(QString(), "Expires: 3600\n"), 200);
        RawPhone alice("alice", m_Port);
        QCOMPARE(alice.registerWith(QString(), "Expires: 3600\n"), 200);
        QUdpSocket audio;
        QVERIFY(audio.bind(QHostAddress(QHostAddress::LocalHost)));
        const QString sdp = QString(kSdp).replace("30000", QString::number(audio.localPort()));

        pressButton(panel);
        const SipMessage invite = bob.next();
        QCOMPARE(invite.startLine.method, SipMethod::Invite);
        bob.send(reply(invite, 180));
        SipMessage fork; // alice's branch of a list
        if (rule.contains(',')) {
            fork = alice.next();
            QCOMPARE(fork.startLine.method, SipMethod::Invite);
            alice.send(aliceReply(fork, 180));
        }
        ConversationThread *call
            = m_Sip->findConversation(m_Sip->findUser("bob")->conversationCaller(invite.callId()));
        QVERIFY(call);
        const QString name = call->objectName();
        QStringList records;
        QObject collector;
        collectRecords(call, &collector, records);
        QTRY_COMPARE(door->state(), int(VelkDevice::OutgoingCallRequire));
        QVERIFY(m_Sip->findUser("door")->isBusy());

        if (end == "answered") {
            bob.send(reply(invite, 200, QString(), sdp));
            QCOMPARE(nextButInvite(bob).startLine.method, SipMethod::Ack);
            QTRY_COMPARE(door->state(), int(VelkDevice::OutgoingCall));
            QVERIFY(talk(audio, invite.body, panel));
            keysThenBye(bob, invite.callId(), panel);
        } else {
            if (!timeOut)
                pressButton(panel); // gives up
            cancelled(bob, invite);
        }
        if (fork.isValid())
            cancelled(alice, fork);
        if (QTest::currentTestFailed())
            return;
        QTRY_VERIFY(!m_Sip->findConversation(name));
        QCOMPARE(records, QStringList { end == "answered" ? "door bob INT " : "door bob INT NA" });
        // Idle: ready, or playing the prompt that ends a call.
        QTRY_VERIFY(door->state() == VelkDevice::Ready || door->state() == VelkDevice::Waiting);
        QTRY_VERIFY(!m_Sip->findUser("door")->isBusy());
        pressButton(panel);
        const SipMessage again = bob.next();
        QVERIFY2(again.startLine.method == SipMethod::Invite, again.toByteArray().constData());
    }

    // Door 7's button pages a group as its account, which names door 8: the page is door 7's.
    // Door 7's voice reaches the paged door, and door 7's hang-up ends the page and frees door 7
    // and the account: the next press pages again.
    void pageBelongsToTheDoorPressed()
    {
        VelkPanel panel({ 7, "pw12", 2, 1, 0, 0 });
        VelkDevice *door = nullptr;
        QVERIFY(doorCalling(panel, "group", &door));
        QVERIFY(pagingGroup(9, "gate"));
        VelkPanel named({ 8, "pw12", 2, 1, 0, 0 });
        QVERIFY(startDoor(named));
        VelkPanel paged({ 9, "pw12", 2, 1, 0, 0 });
        QVERIFY(startDoor(paged));
        QTRY_VERIFY(m_Sip->findUser("gate")->isRegistered());
        QVERIFY(moveDoor(8));
        VelkDevice *listener = m_Velk->findDevice(9);

        pressButton(panel);
        QTRY_COMPARE(listener->state(), int(VelkDevice::IncomingCall));
        QVERIFY(m_Sip->findUser("door")->isBusy());
        QVERIFY(paged.startAudio(QByteArray(1600, char(0x80)))); // tells where to play to
        QVERIFY(panel.startAudio(QByteArray(1600, char(0xf0))));
        QTRY_VERIFY_WITH_TIMEOUT(
            std::any_of(paged.audioReceived().cbegin(), paged.audioReceived().cend(), loud), 10000);
        pressButton(panel); // hangs up
        QTRY_VERIFY(listener->state() == VelkDevice::Ready
                    || listener->state() == VelkDevice::Waiting);
        QTRY_VERIFY(door->state() == VelkDevice::Ready || door->state() == VelkDevice::Waiting);
        QTRY_VERIFY(!m_Sip->findUser("door")->isBusy());
        pressButton(panel);
        QTRY_COMPARE(listener->state(), int(VelkDevice::IncomingCall));
    }

    // A paging door's account moved to an idle door during a phone's page, its first door then
    // leaving the page: the account is free at once while the page goes on with the other
    // member, and a call to it rings its new door.
    void movedMemberLeavesThePage()
    {
        VelkPanel panel({ 7, "pw12", 2, 1, 0, 0 });
        VelkDevice *door = nullptr;
        QVERIFY(doorCalling(panel, "bob", &door));
        QVERIFY(m_Sip->saveUser("door", { { "velk-wiretapping", "paging" } }));
        QVERIFY(pagingGroup(8, "door, gate"));
        VelkPanel gatePanel({ 8, "pw12", 2, 1, 0, 0 });
        QVERIFY(startDoor(gatePanel));
        VelkPanel idle({ 9, "pw12", 2, 1, 0, 0 });
        QVERIFY(startDoor(idle));
        QTRY_VERIFY(m_Sip->findUser("gate")->isRegistered());
        RawPhone alice("alice", m_Port);
        QCOMPARE(alice.registerWith(QString(), "Expires: 3600\n"), 200);
        QVERIFY(callDoor(alice, "pw-alice", "page-1", kSdp, "group"));
        QCOMPARE(statusCode(finalAnswer(alice, "page-1", "group")), 200);
        const QString page = m_Sip->findUser("alice")->conversationCaller("page-1");
        VelkDevice *gate = m_Velk->findDevice(8);
        QTRY_COMPARE(door->state(), int(VelkDevice::IncomingCall));
        QTRY_COMPARE(gate->state(), int(VelkDevice::IncomingCall));

        QVERIFY(moveDoor(9));
        QVERIFY(m_Sip->findUser("door")->isBusy()); // in the page on door 7
        pressButton(panel); // leaves the page
        QTRY_VERIFY(door->state() == VelkDevice::Ready || door->state() == VelkDevice::Waiting);
        QTRY_VERIFY(!m_Sip->findUser("door")->isBusy());
        QCOMPARE(gate->state(), int(VelkDevice::IncomingCall));
        QVERIFY(m_Sip->findConversation(page));
        RawPhone bob("bob", m_Port);
        QCOMPARE(bob.registerWith(QString(), "Expires: 3600\n"), 200);
        QVERIFY(callDoor(bob, "pw-bob", "ring-2"));
        QTRY_COMPARE(m_Velk->findDevice(9)->state(), int(VelkDevice::IncomingCallWaitAnswer));
        cancelCall(bob, "ring-2");
        QVERIFY(m_Sip->findConversation(page));
    }

    // A TCP phone whose account went away in a call registers again at once on a new
    // connection. The call's BYE goes out only over a connection that stands, which waits for
    // its answer; whatever becomes of it, the registration made since stays. So it does for a
    // phone that moves without a word, in a call or while it rings: its BYE or CANCEL goes
    // unanswered to where it was, and the phone's next call reaches it where it is.
    void phoneBackAfterAccountGone_data()
    {
        QTest::addColumn<QString>("way");
        QTest::newRow("connection closed") << "closed";
        QTest::newRow("registration expired") << "expired";
        QTest::newRow("unregistered") << "unregistered";
        QTest::newRow("moved on UDP") << "moved";
        QTest::newRow("new connection, old left open") << "left open";
        QTest::newRow("moved while ringing") << "ringing";
        QTest::newRow("reconnected from the same port") << "same port";
    }
    void phoneBackAfterAccountGone()
    {
        QFETCH(QString, way);
        const bool tcp = way != "moved" && way != "ringing";
        const bool ringing = way == "ringing";
        // The 32 s a request waits for its answer; set before the call, whose clock it moves.
        TimeScale::setFactor(10);
        VelkPanel panel({ 7, "pw12", 2, 1, 0, 0 });
        VelkDevice *door = nullptr;
        QVERIFY(doorCalling(panel, "bob", &door, 1000));
        // A port the test reserved: one the system picks for a connection may be shared with
        // other connections of the machine, and could not be bound again.
        const quint16 port = way == "same port" ? freePort() : 0;
        RawPhone bob("bob", m_Port, tcp, port);
        QVERIFY(port == 0 || bob.connection().localPort() == port);
        QCOMPARE(bob.registerWith(QString(), "Expires: 3600\n"), 200);
        pressButton(panel);
        const SipMessage invite = bob.next();
        QCOMPARE(invite.startLine.method, SipMethod::Invite);
        SipUser *user = m_Sip->findUser("bob");
        const QString name = user->conversationCaller(invite.callId());
        // The next request to bob but the INVITE's retransmissions, which UDP brings until the
        // answer is in.
        const auto next = [&bob] {
            SipMessage message = bob.next();
            while (message.startLine.method == SipMethod::Invite)
                message = bob.next();
            return message;
        };
        bob.send(reply(invite, ringing ? 180 : 200));
        if (!ringing)
            QCOMPARE(next().startLine.method, SipMethod::Ack);
        QTRY_COMPARE(door->state(),
                     int(ringing ? VelkDevice::OutgoingCallRequire : VelkDevice::OutgoingCall));

        if (way == "closed") {
            bob.connection().abort();
            QTRY_VERIFY(!user->isRegistered());
        } else if (way == "expired" || way == "unregistered") {
            if (way == "expired")
                user->timeoutRegister();
            else
                user->setRegistered(false);
            const SipMessage bye = bob.next();
            QCOMPARE(bye.startLine.method, SipMethod::Bye);
            QCOMPARE(bob.connection().state(), QAbstractSocket::ConnectedState);
            bob.send(reply(bye, 200));
            QTRY_COMPARE(bob.connection().state(), QAbstractSocket::UnconnectedState);
        } else if (port != 0) {
            bob.reset();
        }
        RawPhone back("bob", m_Port, tcp, port);
        if (port != 0) {
            QCOMPARE(back.connection().localPort(), port);
            // The call is over while the connection's first REGISTER is challenged.
            back.send(RawPhone::kRegister, { { "expires", "Expires: 3600\n" } });
            QCOMPARE(statusCode(back.next()), 401);
            QTRY_VERIFY(!m_Sip->findConversation(name));
        }
        QCOMPARE(back.registerWith(QString(), "Expires: 3600\n"), 200);
        if (way == "moved" || way == "left open" || ringing) // unanswered where it was
            QCOMPARE(next().startLine.method, ringing ? SipMethod::Cancel : SipMethod::Bye);
        QTRY_VERIFY(!m_Sip->findConversation(name));
        QTRY_COMPARE_WITH_TIMEOUT(m_Sip->liveDialogs(), 0, 10000);
        QVERIFY(user->isRegistered());
        if (tcp)
            QCOMPARE(back.connection().state(), QAbstractSocket::ConnectedState);
        QTRY_VERIFY(door->state() == VelkDevice::Ready || door->state() == VelkDevice::Waiting);
        pressButton(panel);
        QCOMPARE(back.next().startLine.method, SipMethod::Invite);
    }
};

TARNHALL_TEST_MAIN(TestSipDoorRing)
#include "tst_sipdoorring.moc"
