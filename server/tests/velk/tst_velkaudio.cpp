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

#include <QProcess>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QUdpSocket>
#include <QtEndian>
#include <QtTest>

#include <cmath>

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
    void musicGoesOnAfterACall()
    {
        QTemporaryDir dir;
        QVERIFY(makeTracks(dir));
        host->answers = true;
        VelkPanel *p = streamingPanel({ { "music", true }, { "music-path", dir.path() } }, 0);
        QVERIFY(p);
        QTRY_VERIFY_WITH_TIMEOUT(musicRuns(p).value(0).size() >= 75 * 160, 20000);
        device->incomingCall("alice", "door", "talk", "call-1", VelkDevice::Wiretap);
        QTRY_COMPARE(device->currentOutput(), 1);
        // Kept where the call found it, in the devices file too.
        QSettings devices(Env::configFilePath("velk-devices"), QSettings::IniFormat);
        QCOMPARE(devices.value("7/music-index").toString(), dir.filePath("a.mp3"));
        QVERIFY(devices.value("7/music-block").toInt() > 0);
        QVERIFY(devices.contains("7/music-position"));
        QVERIFY(panelSends(p, 10));
        device->callTerminated("call-1", true);
        QTRY_VERIFY_WITH_TIMEOUT(musicRuns(p).value(1).size() >= 2 * kWindow, 20000);

        // The music after the call takes up where the music before it ended.
        const QList<QByteArray> runs = musicRuns(p);
        const QVector<float> track = m_Tracks.value("a");
        const Match before = bestMatch(track, centered(runs.at(0).right(kWindow)));
        const Match after = bestMatch(track, centered(runs.at(1).left(kWindow)));
        QVERIFY2(before.correlation > 0.8 && after.correlation > 0.8,
                 qPrintable(QString("%1 %2").arg(before.correlation).arg(after.correlation)));
        QVERIFY2(qAbs(after.offset - (before.offset + kWindow)) <= 2 * 160,
                 qPrintable(QString("%1 %2").arg(before.offset).arg(after.offset)));
        QVERIFY(after.offset > 8000); // not the start of the track
    }
    void playlistNextAndBack()
    {
        QTemporaryDir dir;
        QVERIFY(makeTracks(dir));
        VelkPanel *p = streamingPanel({ { "music", true }, { "music-path", dir.path() } }, 0);
        QVERIFY(p);
        // The worker tells where it plays as it starts: the entry the codes move from.
        QTRY_COMPARE_WITH_TIMEOUT(device->property("music-index").toString(), dir.filePath("a.mp3"),
                                  20000);
        for (const QString &entry : { QString("b"), QString("a") }) {
            QCOMPARE(device->sipInfo("control", "admin", 3), 0);
            QCOMPARE(device->sipInfo("control", "admin", 2), 2); // "32": next
            QTRY_COMPARE(device->property("music-index").toString(), dir.filePath(entry + ".mp3"));
            QSettings devices(Env::configFilePath("velk-devices"), QSettings::IniFormat);
            QCOMPARE(devices.value("7/music-index").toString(), dir.filePath(entry + ".mp3"));
            // Heard from the entry's start: a few frames went out before the move was told.
            const int from = p->audioReceived().size();
            QTRY_VERIFY_WITH_TIMEOUT(musicRuns(p, from).value(0).size() >= kWindow, 20000);
            const QVector<float> heard = centered(musicRuns(p, from).at(0).left(kWindow));
            const Match match = bestMatch(m_Tracks.value(entry), heard);
            const Match other = bestMatch(m_Tracks.value(entry == "a" ? "b" : "a"), heard);
            QVERIFY2(match.correlation > 0.8 && other.correlation < 0.5,
                     qPrintable(QString("%1 %2").arg(match.correlation).arg(other.correlation)));
            QVERIFY2(match.offset <= 10 * 160, qPrintable(QString::number(match.offset)));
        }
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
    struct Match
    {
        int offset = -1;
        double correlation = 0;
    };
    static constexpr int kWindow = 2000; // samples compared: a quarter of a second

    // Two tracks of a playlist, each a sweep through a band of its own, so any quarter second
    // tells which track it is and where; decoded too, for what the panel must hear.
    bool makeTracks(const QTemporaryDir &dir)
    {
        const struct
        {
            const char *name;
            const char *sweep;
            const char *seconds;
        } tracks[] = { { "a", "300-1500", "3" }, { "b", "1800-2600", "2" } };
        for (const auto &track : tracks) {
            const QString wav = dir.filePath(QString(track.name) + ".wav");
            const QString mp3 = dir.filePath(QString(track.name) + ".mp3");
            const QString raw = dir.filePath(QString(track.name) + ".raw");
            if (QProcess::execute("sox",
                                  { "-n", "-r", "8000", "-c", "1", "-b", "16", wav, "synth",
                                    track.seconds, "sine", track.sweep, "vol", "0.5" })
                    != 0
                || QProcess::execute("lame", { "--quiet", "-b", "32", wav, mp3 }) != 0
                || QProcess::execute("lame", { "--quiet", "--decode", "-t", mp3, raw }) != 0
                || !QFile::remove(wav))
                return false;
            QFile file(raw);
            if (!file.open(QIODevice::ReadOnly))
                return false;
            const QByteArray pcm = file.readAll();
            file.close();
            QFile::remove(raw);
            QVector<float> samples(pcm.size() / 2);
            for (int i = 0; i < samples.size(); ++i)
                samples[i] = qFromLittleEndian<qint16>(pcm.constData() + 2 * i);
            m_Tracks.insert(track.name, samples);
        }
        return true;
    }
    static QVector<float> centered(const QByteArray &pcm8)
    {
        QVector<float> samples(pcm8.size());
        for (int i = 0; i < pcm8.size(); ++i)
            samples[i] = float(quint8(pcm8.at(i))) - 128;
        return samples;
    }
    // Where in the track the window fits best, by normalised correlation.
    static Match bestMatch(const QVector<float> &track, const QVector<float> &window)
    {
        Match best;
        const int n = window.size();
        if (n == 0 || track.size() < n)
            return best;
        double windowEnergy = 0;
        for (float w : window)
            windowEnergy += double(w) * w;
        double energy = 0; // of the track's samples under the window
        for (int i = 0; i < n; ++i)
            energy += double(track[i]) * track[i];
        for (int offset = 0; offset + n <= track.size(); ++offset) {
            if (offset > 0)
                energy += double(track[offset + n - 1]) * track[offset + n - 1]
                    - double(track[offset - 1]) * track[offset - 1];
            double sum = 0;
            for (int i = 0; i < n; ++i)
                sum += double(track[offset + i]) * window[i];
            const double correlation = sum / std::sqrt(qMax(1.0, energy * windowEnergy));
            if (correlation > best.correlation)
                best = { offset, correlation };
        }
        return best;
    }
    // The stretches of music the panel heard from frame `from` on, split where silence (the
    // call, or the frame a track opens with) came between.
    static QList<QByteArray> musicRuns(VelkPanel *p, int from = 0)
    {
        QList<QByteArray> runs;
        bool inRun = false;
        for (int i = from; i < p->audioReceived().size(); ++i) {
            const QByteArray &payload = p->audioReceived().at(i).payload;
            if (payload.count(char(0x80)) == payload.size()) {
                inRun = false;
                continue;
            }
            if (!inRun)
                runs.append(QByteArray());
            inRun = true;
            runs.last() += payload;
        }
        return runs;
    }
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
    QHash<QString, QVector<float>> m_Tracks;
};

TARNHALL_TEST_MAIN(TestVelkAudio)
#include "tst_velkaudio.moc"
