#include "common/codecs/audiocodec.h"
#include "common/sound/sound_wav/soundwav.h"
#include "conversation/conversationobject.h"
#include "conversationfixture.h"
#include "core/timescale.h"
#include "testmain.h"

#include <QSettings>
#include <QTemporaryDir>

#include <limits>

#include <QtTest>

// The controller driven through its own signals, with loopback peers for RTP and video.
class TestConversation : public QObject
{
    Q_OBJECT

    QTemporaryDir settingsDir;

private:
    static QByteArray pcma() { return QByteArray(160, char(0xD5)); }
    static int packetsWith(const RtpPeer &peer, const QByteArray &payload)
    {
        return int(
            std::count_if(peer.packets.begin(), peer.packets.end(),
                          [&](const RtpPeer::Packet &p) { return p.data.mid(12) == payload; }));
    }

private slots:
    void initTestCase()
    {
        ConversationObject::m_CallDuration = 0;
        QVERIFY(settingsDir.isValid());
        QSettings settings(settingsDir.filePath("main.ini"), QSettings::IniFormat);
        SoundWAV::loadPrompts(&settings); // the built-in prompts
    }

    void cleanup()
    {
        ConversationObject::m_CallDuration = 0;
        TimeScale::setFactor(1);
    }

    void adoptsLegsOnce()
    {
        Conversation c;
        c.addVelk("k1", "door");
        c.addVelk("k1", "other"); // same id: refused
        c.addVelk("", "nobody"); // empty id: refused
        emit c.conv->appendCallerObject("k2", nullptr);
        c.addSip("s1", "alice", 0);
        c.addSip("s1", "alice", 0); // same Call-ID: set up again, no second leg
        QTRY_COMPARE(c.conv->callerNames(), QStringList({ "door", "alice" }));
        emit c.conv->referCaller("nope", "elsewhere");
        emit c.conv->referCaller("s1", "elsewhere");
        QTRY_COMPARE(c.move->size(), 1);
        QCOMPARE(c.move->at(0).at(0).toString(), QString("elsewhere"));
        QCOMPARE(c.move->at(0).at(1).toString(), QString("door"));
        QTRY_COMPARE(c.conv->callerNames(), QStringList({ "alice" }));
        // Cleared, then checked: ends with nothing to report.
        emit c.conv->acceptCaller("s1");
        emit c.conv->clearCallers();
        emit c.conv->check();
        QVERIFY(c.ended());
        QCOMPARE(c.bye->size() + c.cancel->size() + c.smdr->size(), 0);
    }

    void endHandsBackLegs()
    {
        // Terminated: answered legs get BYE, the others CANCEL; the connected pair is recorded.
        Conversation c;
        c.addSip("a", "alice", 0);
        c.addSip("b", "bob", 0);
        c.addSip("c", "carol", 0);
        emit c.conv->acceptCaller("a");
        emit c.conv->acceptCaller("c");
        emit c.conv->queryTerminate();
        QVERIFY(c.ended());
        QCOMPARE(c.bye->size(), 2);
        QCOMPARE(c.bye->at(0).at(1).toString(), QString("carol")); // greatest call id first
        QCOMPARE(c.bye->at(1).at(1).toString(), QString("alice"));
        QCOMPARE(c.cancel->size(), 1);
        QCOMPARE(c.cancel->at(0).at(0).value<SipMessage>().callId(), QString("b"));
        QTRY_COMPARE(c.smdr->size(), 1);
        QCOMPARE(c.record(0), QString("alice carol INT "));

        // Legs dropped at a stop leave the record of a group call's master and listeners.
        Conversation g(8);
        g.addVelk("m", "master");
        g.addVelk("n1", "l1");
        g.conv->setMasterSlave("master", "group");
        emit g.conv->acceptCaller("m");
        emit g.conv->clearCallers();
        QTRY_COMPARE(g.smdr->size(), 2);
        QCOMPARE(g.record(0), QString("master group INC "));
        QCOMPARE(g.record(1), QString("master l1 ICG "));
        emit g.conv->queryTerminate();
        QVERIFY(g.ended());
        QCOMPARE(g.smdr->size(), 2);
    }

    void removalWritesRecords()
    {
        // Connected call: ordered by accept time, wall-clock start, measured duration.
        Conversation c(6);
        c.addVelk("z", "door");
        c.addSip("a", "phone", 0);
        emit c.conv->acceptCaller("z");
        emit c.conv->acceptCaller("a");
        QTest::qWait(200);
        emit c.conv->removeCaller("a", true);
        QTRY_COMPARE(c.smdr->size(), 1);
        QCOMPARE(c.record(0), QString("door phone ICC "));
        const QList<QVariant> r = c.smdr->at(0);
        QVERIFY(r.at(3).toLongLong() > 0 && r.at(3).toLongLong() < 5000);
        QVERIFY(qAbs(r.at(0).toDateTime().msecsTo(QDateTime::currentDateTime())) < 5000);
        QTest::qWait(100);
        QVERIFY(c.alive); // only check ends it
        emit c.conv->check();
        QVERIFY(c.ended());
        QCOMPARE(c.bye->size(), 1);

        // Never connected: creation time, first caller as source, "NA".
        Conversation n(9);
        n.addVelk("k", "door");
        n.addSip("s", "phone", 0);
        emit n.conv->removeCaller("s", true);
        QTRY_COMPARE(n.smdr->size(), 1);
        QCOMPARE(n.record(0), QString("door phone OUT NA"));

        // Removal with BYE of the last leg, a door's: lastBye, and nobody left to record.
        emit n.conv->removeCallerAndBye("k", true);
        QTRY_COMPARE(n.bye->size(), 1);
        QCOMPARE(n.smdr->size(), 1);
    }

    void groupRecords()
    {
        Conversation g(8);
        g.addVelk("m", "master");
        g.addVelk("n1", "l1");
        g.addVelk("n2", "l2");
        g.conv->setMasterSlave("master", "group");
        emit g.conv->acceptCaller("m");
        emit g.conv->removeCaller("n1", true);
        QTRY_COMPARE(g.smdr->size(), 1);
        QCOMPARE(g.record(0), QString("master l1 ICG "));
        emit g.conv->removeCaller("m", true);
        QTRY_COMPARE(g.smdr->size(), 3);
        QCOMPARE(g.record(1), QString("master group INC "));
        QCOMPARE(g.record(2), QString("master l2 ICG "));
        QVERIFY(g.ended());
    }

    // Two removals in one pass of the loop, as when a listener's hang-up crosses the master's
    // BYE: each party is recorded once, with the call's start as its date.
    void groupRecordedOnce_data()
    {
        QTest::addColumn<QStringList>("listeners");
        QTest::addColumn<QStringList>("leaving");
        QTest::addColumn<QStringList>("records");
        QTest::newRow("master, then a listener")
            << QStringList { "n1", "n2" } << QStringList { "m", "n2" }
            << QStringList { "master group INC ", "master l1 ICG ", "master l2 ICG " };
        QTest::newRow("last listener, then the master")
            << QStringList { "n1" } << QStringList { "n1", "m" }
            << QStringList { "master l1 ICG ", "master group INC " };
    }
    void groupRecordedOnce()
    {
        QFETCH(QStringList, listeners);
        QFETCH(QStringList, leaving);
        QFETCH(QStringList, records);
        Conversation g(8);
        ConversationCaller *master = g.addVelk("m", "master");
        for (const QString &id : listeners)
            g.addVelk(id, "l" + id.mid(1));
        g.conv->setMasterSlave("master", "group");
        emit g.conv->acceptCaller("m");
        // Emitted from the conversation's own thread, so both wait for the same pass.
        ConversationThread *conv = g.conv;
        QMetaObject::invokeMethod(
            master,
            [conv, leaving] {
                for (const QString &id : leaving)
                    emit conv->removeCaller(id, true);
            },
            Qt::QueuedConnection);
        QVERIFY(g.ended());
        QTRY_COMPARE(g.smdr->size(), records.size());
        for (int i = 0; i < records.size(); ++i) {
            QCOMPARE(g.record(i), records.at(i));
            QVERIFY(g.smdr->at(i).at(0).toDateTime().msecsTo(QDateTime::currentDateTime()) < 60000);
        }
    }

    // B hands A on to another call (an attended transfer), then hangs up: the A-B call as it
    // stood at the hand-off is recorded.
    void referRecordsTheHandOff()
    {
        Conversation c;
        c.addSip("a", "alice", 0);
        c.addSip("b", "bob", 0);
        emit c.conv->acceptCaller("a");
        emit c.conv->acceptCaller("b");
        emit c.conv->referCaller("b", "other");
        QTRY_COMPARE(c.move->size(), 1);
        emit c.conv->removeCaller("b", true);
        emit c.conv->check();
        QVERIFY(c.ended());
        QTRY_COMPARE(c.smdr->size(), 1);
        QCOMPARE(c.record(0), QString("alice bob INT "));
    }

    // bob hands alice on to carol without Replaces and hangs up, before or after carol answers:
    // alice-bob is recorded over their time and alice-carol over theirs, whichever of alice's
    // and carol's call ids sorts first. Durations are bracketed by the schedule clock's readings.
    void blindTransferRecordsEachCall_data()
    {
        QTest::addColumn<QString>("carolId");
        QTest::addColumn<bool>("answeredFirst");
        QTest::newRow("carol's id first, answered before bob leaves") << "0" << true;
        QTest::newRow("carol's id first, answered after bob leaves") << "0" << false;
        QTest::newRow("alice's id first, answered before bob leaves") << "c" << true;
        QTest::newRow("alice's id first, answered after bob leaves") << "c" << false;
    }
    void blindTransferRecordsEachCall()
    {
        QFETCH(QString, carolId);
        QFETCH(bool, answeredFirst);
        TimeScale::setFactor(50);
        const qulonglong never = 3600; // no silence watch while nobody speaks
        Conversation c;
        RtpPeer a, b, t;
        const qint64 dialled = TimeScale::now();
        QVERIFY(c.talking(&a, &b, 8, never));
        QTRY_VERIFY(!b.packets.isEmpty()); // bob answered after alice: connected
        const qint64 connected = TimeScale::now();
        QTest::qWait(TimeScale::toRealInt(10000));
        c.addSip(carolId, "carol", t.port(), 8, SipSdpAction::SendRecv, never);
        if (answeredFirst)
            emit c.conv->acceptCaller(carolId);
        const qint64 leaving = TimeScale::now();
        emit c.conv->removeCaller("b", true);
        QTRY_COMPARE(c.smdr->size(), 1);
        const qint64 left = TimeScale::now();
        qint64 joinedFrom = leaving;
        qint64 joinedBy = left;
        if (!answeredFirst) {
            joinedFrom = left;
            emit c.conv->acceptCaller(carolId);
            QTRY_VERIFY(!t.packets.isEmpty());
            joinedBy = TimeScale::now();
        }
        QTest::qWait(TimeScale::toRealInt(4000));
        const qint64 hangingUp = TimeScale::now();
        emit c.conv->removeCaller(carolId, true);
        QTRY_COMPARE(c.smdr->size(), 2);
        const qint64 hungUp = TimeScale::now();
        QCOMPARE(c.record(0), QString("alice bob INT "));
        QCOMPARE(c.record(1), QString("alice carol INT "));
        const qint64 first = c.smdr->at(0).at(3).toLongLong();
        const qint64 second = c.smdr->at(1).at(3).toLongLong();
        QVERIFY2(first >= leaving - connected && first <= left - dialled,
                 qPrintable(QString::number(first)));
        QVERIFY2(second >= hangingUp - joinedBy && second <= hungUp - joinedFrom,
                 qPrintable(QString::number(second)));
        emit c.conv->check();
        QVERIFY(c.ended());
    }

    void sendsRtpToAnsweredLegs()
    {
        // Limits past what milliseconds can hold mean "practically never", not "at once".
        ConversationObject::m_CallDuration = std::numeric_limits<qint64>::max();
        Conversation c;
        RtpPeer a, b;
        QVERIFY(c.talking(&a, &b, 0, std::numeric_limits<qulonglong>::max()));
        QTRY_VERIFY(!b.packets.isEmpty()); // B is answered: what A sends now reaches it
        // Ten frames at once fill the jitter buffer, their sequence numbers wrapping from
        // 65535 to 0 halfway: B hears all ten in order, so the wrap dropped nothing.
        QList<QByteArray> heard;
        quint16 seq = 65530;
        for (int i = 0; i < 10; ++i, ++seq) {
            const QByteArray frame(160, char(0x20 + i));
            a.sendRtp(c.rtpPort(), 8, seq, quint32(seq) * 160, frame);
            heard.append(AudioCodec::encode(0, AudioCodec::decode(8, frame, nullptr), nullptr));
        }
        const auto heardInOrder = [&] {
            int next = 0;
            for (const RtpPeer::Packet &p : b.packets)
                next += next < heard.size() && p.data.mid(12) == heard.at(next) ? 1 : 0;
            return next;
        };
        QTRY_COMPARE(heardInOrder(), heard.size());
        QTRY_VERIFY(packetsWith(a, pcma()) > 20); // A hears B's silence, in A-law

        // A re-INVITE moves B: its stream goes on, with no new marker and no gap.
        const int before = b.packets.size();
        emit c.conv->replaceCaller("b", 0, QHostAddress::LocalHost, b.port(),
                                   QHostAddress::LocalHost, 0, SipSdpAction::SendRecv);
        QTRY_VERIFY(b.packets.size() > before + 10);
        QVERIFY(c.alive);
        for (int i = 0; i < b.packets.size(); ++i) {
            const QByteArray &p = b.packets.at(i).data;
            QCOMPARE(qFromBigEndian<quint16>(p.constData() + 2), quint16(i + 1));
            QCOMPARE(bool(uchar(p[1]) & 0x80), i == 0);
        }
    }

    void promptsPlay()
    {
        Conversation c;
        RtpPeer a, b, t;
        c.addSip("a", "alice", a.port());
        c.addSip("b", "bob", b.port());
        emit c.conv->acceptCaller("b");
        emit c.conv->acceptCaller("a"); // the first caller's answer connects: it hears a tone
        const auto heard
            = [](const RtpPeer &p) { return p.packets.size() - packetsWith(p, pcma()); };
        QTRY_VERIFY(heard(a) > 5);
        QCOMPARE(heard(b), 0);
        // A third leg joins, B leaves: the connected part is recorded, A hears hold music.
        c.addSip("c", "tina", t.port());
        QTRY_COMPARE(c.conv->callerNames().size(), 3);
        a.packets.clear();
        emit c.conv->removeCaller("b", true);
        QTRY_COMPARE(c.smdr->size(), 1);
        QCOMPARE(c.record(0), QString("bob alice INT ")); // bob answered first
        QTRY_VERIFY(heard(a) > 5);
        QCOMPARE(t.packets.size(), 0); // not answered yet
    }

    // All three answered (a transfer's target answered before the transferor left): the two
    // who stay are still in a call, recorded as one when it ends.
    void legLeavesAThreeWayCall()
    {
        Conversation c;
        RtpPeer a, b, t;
        c.addSip("a", "alice", a.port());
        c.addSip("b", "bob", b.port());
        c.addSip("c", "tina", t.port());
        QTRY_COMPARE(c.conv->callerNames().size(), 3);
        for (const char *id : { "a", "b", "c" })
            emit c.conv->acceptCaller(id);
        emit c.conv->removeCaller("b", true);
        QTRY_COMPARE(c.smdr->size(), 1);
        emit c.conv->removeCaller("c", true);
        QTRY_COMPARE(c.smdr->size(), 2);
        QCOMPARE(c.record(1), QString("alice tina INT "));
    }

    void holdAndSilenceWatch()
    {
        Conversation c;
        RtpPeer a, b;
        c.addSip("a", "alice", a.port(), 8, SipSdpAction::SendRecv, 1);
        c.addSip("b", "bob", b.port(), 8, SipSdpAction::SendOnly, 1);
        emit c.conv->acceptCaller("a");
        emit c.conv->acceptCaller("b");
        // B holds (sendonly): it gets nothing, and its silence never ends the call.
        QTest::qWait(1600);
        QVERIFY(c.alive);
        QCOMPARE(b.packets.size(), 0);
        emit c.conv->replaceCaller("b", 8, QHostAddress::LocalHost, b.port(),
                                   QHostAddress::LocalHost, 0, SipSdpAction::SendRecv);
        // Now B should send and does not: A's one-second time-out ends the call.
        QVERIFY(c.ended(5000));
        QCOMPARE(c.bye->size(), 2);
        QVERIFY(!b.packets.isEmpty());
        QCOMPARE(uchar(b.packets.first().data[1]), uchar(0x88)); // first packet after resume
    }

    void durationLimitCountsFromCallStart()
    {
        ConversationObject::m_CallDuration = 1;
        Conversation c;
        RtpPeer a, b;
        c.addSip("a", "alice", a.port());
        c.addSip("b", "bob", b.port());
        emit c.conv->acceptCaller("a");
        QTest::qWait(1300);
        QVERIFY(c.alive); // not connected yet: no limit running
        emit c.conv->acceptCaller("b");
        QVERIFY(c.ended(4000));
        QCOMPARE(c.bye->size(), 2);
        QTRY_COMPARE(c.smdr->size(), 1);
        QCOMPARE(c.record(0), QString("alice bob INT "));
    }

    void groupMasterHeardByEveryListener()
    {
        Conversation g(4);
        RtpPeer m, l1, l2;
        QList<QPair<qulonglong, QByteArray>> door;
        g.addSip("a", "master", m.port());
        g.addSip("b", "listener", l1.port(), 0);
        g.addSip("c", "waiting", l2.port());
        g.addVelk("d", "door", &door);
        emit g.conv->acceptCaller("a");
        emit g.conv->acceptCaller("b");
        emit g.conv->acceptCaller("d");
        QTRY_COMPARE(g.conv->callerNames().size(), 4);
        const QByteArray tone(160, char(0x2A)); // a loud constant, not silence
        for (quint16 seq = 1; seq <= 30; ++seq) {
            m.sendRtp(g.rtpPort(), 8, seq, quint32(seq) * 160, tone);
            QTest::qWait(20);
        }
        const QByteArray heard
            = AudioCodec::encode(0, AudioCodec::decode(8, tone, nullptr), nullptr);
        QTRY_VERIFY(packetsWith(l1, heard) > 5);
        QVERIFY(l2.packets.isEmpty()); // not answered
        QTRY_VERIFY(std::count_if(door.cbegin(), door.cend(),
                                  [](const auto &f) { return f.second != QByteArray(320, '\0'); })
                    > 5);
        QCOMPARE(door.first().first, qulonglong(1));
        QTRY_VERIFY(m.packets.size() > 10); // the master hears silence
    }

    void videoRelayNeverLoops()
    {
        Conversation c;
        RtpPeer camera, phone;
        ConversationCaller *door = c.addVelk("d", "door");
        const QHostAddress lo(QHostAddress::LocalHost);
        QMetaObject::invokeMethod(
            door, [=, port = camera.port()] { door->setVelkVideo(lo, port, lo, 0); },
            Qt::QueuedConnection);
        emit c.conv->appendCaller(10, "phone", SipMessage("p"), 8, lo, 0, lo, 0,
                                  SipSdpAction::SendRecv, 97, lo, phone.port(), lo, 0,
                                  SipSdpAction::SendRecv);
        // A leg whose SDP points at our own video port: nothing may be sent to it.
        emit c.conv->appendCaller(10, "self", SipMessage("q"), 8, lo, 0, lo, 0,
                                  SipSdpAction::SendRecv, 98, lo, c.conv->videoRtpPort(), lo, 0,
                                  SipSdpAction::SendRecv);
        // A leg holding with 0.0.0.0: nothing goes to it (Linux would deliver it locally).
        RtpPeer held;
        emit c.conv->appendCaller(10, "held", SipMessage("r"), 8, lo, 0, lo, 0,
                                  SipSdpAction::SendRecv, 99, QHostAddress(QHostAddress::AnyIPv4),
                                  held.port(), lo, 0, SipSdpAction::SendRecv);
        QTRY_COMPARE(c.conv->callerNames().size(), 4);
        camera.sendRtp(c.conv->videoRtpPort(), 96, 7, 1000, "frame", true);
        camera.sendTo(c.conv->videoRtpPort(), QByteArray("\x80\x60short", 7));
        QTRY_COMPARE(phone.packets.size(), 1);
        QCOMPARE(uchar(phone.packets.first().data[1]), uchar(0x80 | 97));
        QCOMPARE(phone.packets.first().data.mid(12), QByteArray("frame"));
        QTest::qWait(200);
        QCOMPARE(phone.packets.size(), 1);
        QCOMPARE(camera.packets.size(), 0); // door legs get no video
        QCOMPARE(held.packets.size(), 0);
    }

    // Once the application object is gone no posted event reaches the conversation's thread: its
    // destruction still ends the thread at once and frees its ports.
    void destroyedWhenNoEventIsDelivered()
    {
        auto c = std::make_unique<Conversation>();
        RtpPeer a, b;
        QVERIFY(c->talking(&a, &b));
        ConversationCaller *leg = c->addVelk("d", "door");
        QTRY_VERIFY(leg->parent()); // adopted: its parent is the worker
        QObject *worker = leg->parent();
        // Swallows every queued call and deferred delete in the worker's thread.
        struct Deaf : QObject
        {
            bool eventFilter(QObject *, QEvent *e) override
            {
                return e->type() == QEvent::MetaCall || e->type() == QEvent::DeferredDelete;
            }
        };
        auto *deaf = new Deaf;
        deaf->moveToThread(worker->thread());
        bool installed = false;
        QMetaObject::invokeMethod(worker, [&] {
            worker->installEventFilter(deaf);
            installed = true;
        });
        QTRY_VERIFY(installed);
        const quint16 port = c->rtpPort();
        c.reset();
        delete deaf;
        QUdpSocket rebound;
        QVERIFY(rebound.bind(QHostAddress(QHostAddress::AnyIPv4), port));
    }

    void destroyedWhileRunningOnThePlainPollDispatcher()
    {
        // A thread takes its dispatcher as it starts: this conversation gets the poll one.
        qputenv("QT_NO_THREADED_GLIB", "1");
        auto c = std::make_unique<Conversation>();
        RtpPeer a, b;
        QVERIFY(c->talking(&a, &b));
        QTRY_VERIFY(a.packets.size() > 3); // the loop runs
        qunsetenv("QT_NO_THREADED_GLIB");
        // Nothing arrives any more: only the quit itself can end the thread, or this hangs.
        c.reset();
    }
};

TARNHALL_TEST_MAIN(TestConversation)
#include "tst_conversation.moc"
