// Door-device audio end to end: panels streaming 20 ms frames to their audio port on loopback
// and checking what the server plays them.
#include "common/codecs/audiocodec.h"
#include "common/sound/sound_wav/soundwav.h"
#include "core/env.h"
#include "core/timescale.h"
#include "testmain.h"
#include "velk/velk.h"
#include "velk/velkdevice.h"
#include "velk/velkframeclock.h"
#include "velkfixture.h"
#include "velkpanel.h"

#include <QTemporaryFile>
#include <QUdpSocket>
#include <QtTest>

using Props = QVariantMap;

class TestVelkAudio : public VelkFixture
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        VelkFixture::initTestCase();
        QTemporaryFile none;
        QVERIFY(none.open());
        QSettings settings(none.fileName(), QSettings::IniFormat);
        SoundWAV::loadPrompts(&settings);
        bool ok = false;
        m_Tone = SoundWAV::loadWav(dataFile("tone8k.wav"), 0, &ok);
        QVERIFY(ok && m_Tone.size() == 1600);
    }
    void init()
    {
        VelkFixture::init();
        TimeScale::setFactor(1); // media runs in real time, so do registrations not renewed here
    }
    void frameClock_data()
    {
        QTest::addColumn<QList<qint64>>("atMs");
        QTest::addColumn<QList<qint64>>("due");
        QTest::addColumn<qint64>("nextMs");
        QTest::newRow("one at once, then one per 20 ms")
            << QList<qint64> { 0, 5, 20, 40 } << QList<qint64> { 1, 0, 1, 1 } << 60LL;
        QTest::newRow("late ticks catch up")
            << QList<qint64> { 0, 45 } << QList<qint64> { 1, 2 } << 60LL;
        QTest::newRow("a stall skips all but three")
            << QList<qint64> { 0, 1000 } << QList<qint64> { 1, 3 } << 1020LL;
    }
    void frameClock()
    {
        QFETCH(QList<qint64>, atMs);
        QFETCH(QList<qint64>, due);
        QFETCH(qint64, nextMs);
        VelkFrameClock clock;
        clock.restart(1000000);
        QList<qint64> got;
        for (qint64 at : atMs) {
            const qint64 n = clock.due(1000000 + at * 1000);
            for (qint64 i = 0; i < n; ++i)
                clock.produced();
            got << n;
        }
        QCOMPARE(got, due);
        QCOMPARE(clock.nextDeadlineUs(), 1000000 + nextMs * 1000);
    }
    void playsToTheEndOnce_data()
    {
        QTest::addColumn<Props>("props");
        QTest::addColumn<quint8>("codec");
        QTest::addColumn<bool>("prompt"); // else the sensor message
        const Props sensor { { "sensor1-press-event", 4 },
                             { "sensor1-msg-file", dataFile("tone8k.mp3") } };
        QTest::newRow("prompt, 8-bit PCM") << Props() << quint8(0) << true;
        QTest::newRow("prompt, A-law") << Props() << quint8(1) << true;
        QTest::newRow("MP3 sensor message") << sensor << quint8(0) << false;
    }
    void playsToTheEndOnce()
    {
        QFETCH(Props, props);
        QFETCH(quint8, codec);
        QFETCH(bool, prompt);
        VelkPanel *p = streamingPanel(props, codec);
        QVERIFY(p);
        QVERIFY(p->audioReceived().isEmpty()); // nothing selected yet
        if (prompt) {
            device->setOutputType(2, 0, QString(), 0, 0); // connection-error: plays once
        } else {
            p->queueEvents(0, 0, 1, 0);
            QCOMPARE(report(p), 0);
        }
        QCOMPARE(device->state(), int(VelkDevice::Waiting));
        // The worker's end puts the device back to Ready.
        QTRY_COMPARE_WITH_TIMEOUT(device->state(), int(VelkDevice::Ready), 20000);
        QCOMPARE(device->currentOutput(), 0);
        const int received = p->audioReceived().size();
        QVERIFY(received > 10);
        QVERIFY(contiguous(p));
        QVERIFY(panelSends(p, 10));
        QCOMPARE(p->audioReceived().size(), received); // nothing after the end
        for (const VelkPanel::AudioIn &in : p->audioReceived())
            QCOMPARE(in.payload.size(), 160);
        if (prompt) {
            bool ok = false;
            QByteArray expected = SoundWAV::loadWav(":/wav/velk/connection-error.wav", 0, &ok);
            QVERIFY(ok);
            expected += QByteArray(160, char(0x80)); // the padding frame of a sound run out
            QCOMPARE(payloads(p), codec == 1 ? AudioCodec::pcm8ToG711(8, expected) : expected);
        }
    }
    void musicLoops()
    {
        // The file holds 0.4 s: twenty frames.
        VelkPanel *p
            = streamingPanel({ { "music", true }, { "music-path", dataFile("tone8k.mp3") } }, 0);
        QVERIFY(p);
        QTRY_VERIFY_WITH_TIMEOUT(p->audioReceived().size() >= 60, 20000);
        QVERIFY(contiguous(p));
        QCOMPARE(device->state(), int(VelkDevice::Ready));
        // Music, not silence.
        QVERIFY(payloads(p, 40).count(char(0x80)) < 40 * 160 / 2);
    }
    void audioBothWays_data()
    {
        QTest::addColumn<quint8>("codec");
        QTest::addColumn<bool>("receive");
        QTest::addColumn<int>("frameBytes");
        QTest::newRow("8-bit PCM") << quint8(0) << true << 173;
        QTest::newRow("A-law") << quint8(1) << true << 173;
        QTest::newRow("longer datagram, codec 2 is PCM") << quint8(2) << true << 200;
        QTest::newRow("receiving off: silence") << quint8(1) << false << 173;
    }
    void audioBothWays()
    {
        QFETCH(quint8, codec);
        QFETCH(bool, receive);
        QFETCH(int, frameBytes);
        VelkPanel *p = streamingPanel({}, codec, frameBytes);
        QVERIFY(p);
        // The conversation of the device plays its own frames back, decoded and encoded again.
        connect(device, &VelkDevice::fromDevice, device, &VelkDevice::toDevice);
        emit device->setRecvFromDevice(receive);
        device->setOutputType(1, 0, QString(), 0, 0);
        QTRY_VERIFY_WITH_TIMEOUT(p->audioReceived().size() >= 40, 20000);
        QVERIFY(contiguous(p));
        const QByteArray heard = payloads(p, 20);
        if (!receive) {
            const QByteArray silence = AudioCodec::encode(8, QByteArray(320, '\0'), nullptr);
            QCOMPARE(heard, silence.repeated(heard.size() / 160));
            return;
        }
        // The tone is ten frames long: some ten in a row came back in order.
        bool found = false;
        for (quint32 first = 0; first < 10 && !found; ++first) {
            QByteArray tone;
            for (quint32 i = first; i < first + 10; ++i)
                tone += p->audioFrame(i);
            found = heard.contains(tone);
        }
        QVERIFY(found);
    }
    void badFramesDropped_data()
    {
        QTest::addColumn<int>("offset");
        QTest::addColumn<char>("value");
        QTest::addColumn<int>("size");
        QTest::newRow("172 bytes") << 0 << char(1) << 172;
        QTest::newRow("kind 1") << 1 << char(1) << 173;
        QTest::newRow("command 1") << 2 << char(1) << 173;
        QTest::newRow("another device") << 7 << char(8) << 173;
        QTest::newRow("wrong password") << 9 << char('x') << 173;
    }
    void badFramesDropped()
    {
        QFETCH(int, offset);
        QFETCH(char, value);
        QFETCH(int, size);
        VelkPanel *p = streamingPanel({}, 0);
        QVERIFY(p);
        device->setOutputType(1, 0, QString(), 0, 0); // silence of the conversation, sent on
        QTRY_VERIFY(!p->audioReceived().isEmpty());

        QByteArray bad(173, char(0x80));
        bad[0] = 1;
        bad.replace(3, 10, QByteArray::fromHex("efcdab00 0700") + "pw12");
        bad[offset] = value;
        bad.truncate(size);
        QUdpSocket rogue;
        QVERIFY(rogue.bind(QHostAddress(QHostAddress::LocalHost), 0));
        QSignalSpy frames(device, &VelkDevice::fromDevice);
        rogue.writeDatagram(bad, QHostAddress(QHostAddress::LocalHost), p->audioPort());
        const int before = p->audioReceived().size();
        QVERIFY(panelSends(p, 10));
        QVERIFY(p->audioReceived().size() > before); // the peer stays the panel
        QVERIFY(!rogue.hasPendingDatagrams());
        for (const QList<QVariant> &frame : frames)
            QVERIFY(frame.at(0).toULongLong() != 0xabcdef);
    }
    void lateDeviceGetsNoBurst()
    {
        VelkPanel *p = registered({});
        QVERIFY(p);
        // A looping prompt selected long before the panel's first audio datagram.
        device->setOutputType(3, 0, QString(), 0, 0);
        QTest::qWait(600);
        const qint64 start = VelkFrameClock::nowUs();
        QVERIFY(p->startAudio(m_Tone));
        QTRY_VERIFY_WITH_TIMEOUT(p->audioReceived().size() >= 20, 20000);
        // By each arrival (read late, if anything) at most a few frames more than the time since
        // the panel was first heard allows: the server started its clock then, with no backlog.
        const QList<VelkPanel::AudioIn> &in = p->audioReceived();
        for (int i = 0; i < in.size(); ++i) {
            const qint64 allowed = (in.at(i).atUs - start) / VelkFrameClock::kFrameUs + 1 + 3;
            QVERIFY2(i < allowed, qPrintable(QStringLiteral("frame %1 of %2").arg(i).arg(allowed)));
        }
        QVERIFY(contiguous(p));
    }

private:
    // Device 7 registered by a panel of the codec that streams the tone.
    VelkPanel *streamingPanel(const Props &props, quint8 codec, int frameBytes = 173)
    {
        VelkPanel *p = registered(props, codec);
        QSignalSpy heard(device, &VelkDevice::fromDevice);
        if (p && (!p->startAudio(m_Tone, frameBytes) || !heard.wait(20000))) {
            qWarning("panel audio to port %u not heard", unsigned(p->audioPort()));
            return nullptr;
        }
        return p;
    }
    // Waits until the panel has sent n more frames, so what the server does meanwhile is seen.
    static bool panelSends(VelkPanel *p, quint32 frames)
    {
        const quint32 until = p->audioSent() + frames;
        return QTest::qWaitFor([&] { return p->audioSent() >= until; }, 20000);
    }
    static QByteArray payloads(VelkPanel *p, int from = 0)
    {
        QByteArray all;
        for (int i = from; i < p->audioReceived().size(); ++i)
            all += p->audioReceived().at(i).payload;
        return all;
    }
    static bool contiguous(VelkPanel *p)
    {
        const QList<VelkPanel::AudioIn> &in = p->audioReceived();
        return std::adjacent_find(
                   in.cbegin(), in.cend(),
                   [](const auto &a, const auto &b) { return b.counter != a.counter + 1; })
            == in.cend();
    }

    QByteArray m_Tone;
};

TARNHALL_TEST_MAIN(TestVelkAudio)
#include "tst_velkaudio.moc"
