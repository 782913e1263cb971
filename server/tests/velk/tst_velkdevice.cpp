// Door devices end to end: the module on loopback, simulated panels reporting to it.
#include "core/env.h"
#include "core/timescale.h"
#include "velk/velk.h"
#include "velk/velkdevice.h"
#include "velkfixture.h"
#include "velkpanel.h"

#include <QSemaphore>
#include <QtTest>

using Props = QVariantMap;

class TestVelkDevice : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void registerConfirmExpire_data();
    void registerConfirmExpire();
    void refusedReportChangesNothing_data();
    void refusedReportChangesNothing();
    void outputsReassertedAfterReboot_data();
    void outputsReassertedAfterReboot();
    void firstMusicTogglePlays_data();
    void firstMusicTogglePlays();
    void answerPrecedesEventCommandsAndEventsAreRecorded();
    void partialAndFullSaves();
    void restartBindsAfterTheOldWorker();
    void endingWorkerHearsNothingMore();

private:
    VelkFixture f;
};

void TestVelkDevice::initTestCase()
{
    Env::initApplication(qPrintable(QCoreApplication::applicationFilePath()));
}

void TestVelkDevice::init()
{
    f.init();
}

void TestVelkDevice::cleanup()
{
    QVERIFY(f.cleanup());
}

void TestVelkDevice::registerConfirmExpire_data()
{
    QTest::addColumn<double>("factor");
    QTest::addColumn<int>("registerTimeout");
    QTest::newRow("scaled") << 20.0 << 15;
    QTest::newRow("real-time") << 1.0 << 1;
}

void TestVelkDevice::registerConfirmExpire()
{
    QFETCH(double, factor);
    QFETCH(int, registerTimeout);
    f.writeDevice(7, { { "register-timeout", registerTimeout } });
    QVERIFY(f.startModule());
    TimeScale::setFactor(factor);
    int result = -1;
    VelkPanel *p = f.panel(7, &result);
    QCOMPARE(result, 0);
    VelkDevice *device = f.velk->findDevice(7);
    QCOMPARE(device->state(), int(VelkDevice::Ready));
    QVERIFY(f.portInUse(p->audioPort()));
    QCOMPARE(p->audioPort(), device->audioPort());
    QCOMPARE(f.requests, QList<int>({ VelkProtocol::SetOutputs })); // all off
    QCOMPARE(f.report(p), 0);
    const QString lines = f.log();
    QVERIFY(lines.contains("[VELK]: Device '7' change state Ready (Ready to call)"));
    QVERIFY(lines.indexOf("Device '7' register") < lines.indexOf("Device '7' confirmed register"));

    // Silent from here: the registration runs out after register-timeout + 32 s.
    const qint64 last = TimeScale::now();
    QTRY_COMPARE_WITH_TIMEOUT(device->state(), int(VelkDevice::Unregistered), 120000);
    QVERIFY(TimeScale::now() - last >= (registerTimeout + 32) * 1000 * 95 / 100);
    QVERIFY(f.log().contains("[VELK]: Device '7' timeout register"));
    QVERIFY(f.log().contains("[VELK]: Device '7' unregister"));
    QCOMPARE(f.host->registered.first(), true);
    QCOMPARE(f.host->registered.last(), false);
}

void TestVelkDevice::refusedReportChangesNothing_data()
{
    QTest::addColumn<quint16>("number");
    QTest::addColumn<QString>("password");
    QTest::newRow("unknown device") << quint16(8) << "pw12";
    QTest::newRow("wrong password") << quint16(7) << "nope";
    QTest::newRow("password beyond four characters") << quint16(7) << "pw12-ignored";
}

void TestVelkDevice::refusedReportChangesNothing()
{
    QFETCH(quint16, number);
    QFETCH(QString, password);
    f.writeDevice(7, {});
    QVERIFY(f.startModule());
    int result = -1;
    VelkPanel *owner = f.panel(7, &result);
    QCOMPARE(result, 0);
    VelkDevice *device = f.velk->findDevice(7);
    const QString before = f.log();

    // A stranger with another codec and address.
    VelkPanel *stranger = f.panel(number, &result, password, 1);
    if (password == "pw12-ignored") { // only the first four characters count
        QCOMPARE(result, 0);
        return;
    }
    QCOMPARE(result, 3);
    QCOMPARE(stranger->audioPort(), quint16(0));
    QCOMPARE(f.velk->findChildren<VelkDevice *>().size(), 1);
    QCOMPARE(device->state(), int(VelkDevice::Ready));
    QCOMPARE(device->codec(), uchar(0));
    QCOMPARE(device->devicePort(), owner->localPort());
    QCOMPARE(f.log(), before);
}

void TestVelkDevice::outputsReassertedAfterReboot_data()
{
    QTest::addColumn<Props>("props");
    QTest::addColumn<bool>("sensor1");
    QTest::addColumn<int>("state");
    QTest::addColumn<int>("level");
    const QString tone = f.dataFile("tone8k.mp3");
    QTest::newRow("music") << Props { { "music", true }, { "music-path", tone } } << false
                           << int(VelkDevice::Ready) << -1;
    QTest::newRow("sensor message at 48000 Hz")
        << Props { { "sensor1-press-event", 4 }, { "sensor1-msg-file", tone }, { "music-freq", 2 } }
        << true << int(VelkDevice::Waiting) << 2;
    QTest::newRow("sensor message not loaded")
        << Props { { "sensor1-press-event", 4 }, { "sensor1-msg-file", f.dataFile("absent.mp3") } }
        << true << int(VelkDevice::Waiting) << 0;
}

void TestVelkDevice::outputsReassertedAfterReboot()
{
    QFETCH(Props, props);
    QFETCH(bool, sensor1);
    QFETCH(int, state);
    QFETCH(int, level);
    f.writeDevice(7, props);
    QVERIFY(f.startModule());
    int result = -1;
    VelkPanel *p = f.panel(7, &result, "pw12", 0, sensor1);
    QCOMPARE(result, 0);
    VelkDevice *device = f.velk->findDevice(7);
    QTRY_COMPARE(device->state(), state);
    QTRY_COMPARE(p->stateBits() & 0x05, 0x05); // call and speaker on
    if (level >= 0)
        QCOMPARE(device->sensorMessageLevel(1), level);

    // Rebooted: the panel reports every output off, and gets them back.
    delete p;
    p = f.panel(7, &result, "pw12", 0, sensor1);
    QCOMPARE(result, 0);
    QTRY_COMPARE(p->stateBits() & 0x05, 0x05);
    QCOMPARE(device->state(), state);
    // Outputs that stand are not commanded again.
    QSignalSpy requests(p, &VelkPanel::requestReceived);
    QCOMPARE(f.report(p), 0);
    QCOMPARE(f.report(p), 0);
    QCOMPARE(requests.size(), 0);
}

void TestVelkDevice::firstMusicTogglePlays_data()
{
    QTest::addColumn<Props>("props");
    QTest::addColumn<bool>("plays");
    const QString tone = f.dataFile("tone8k.mp3");
    QTest::newRow("8000 Hz file") << Props { { "music-path", tone } } << true;
    QTest::newRow("source without a name") << Props { { "music-type", 1 } } << false;
    QTest::newRow("unknown rate") << Props { { "music-path", tone }, { "music-freq", 7 } } << false;
}

void TestVelkDevice::firstMusicTogglePlays()
{
    QFETCH(Props, props);
    QFETCH(bool, plays);
    f.writeDevice(7, props);
    QVERIFY(f.startModule());
    int result = -1;
    VelkPanel *p = f.panel(7, &result);
    QCOMPARE(result, 0);
    VelkDevice *device = f.velk->findDevice(7);
    QSignalSpy requests(p, &VelkPanel::requestReceived);
    emit device->toggleMusic(true);
    if (!plays) {
        QCOMPARE(f.report(p), 0); // everything the toggle caused has arrived before this answer
        QCOMPARE(requests.size(), 0);
        QCOMPARE(device->musicSound(), -1);
        return;
    }
    QTRY_VERIFY(device->musicSound() >= 1000000);
    QTRY_COMPARE(device->currentOutput(), device->musicSound());
    QTRY_COMPARE(p->stateBits() & 0x07, 0x05);
    emit device->toggleMusic(false);
    QTRY_COMPARE(device->currentOutput(), 0);
    QTRY_COMPARE(p->stateBits() & 0x07, 0);
}

void TestVelkDevice::answerPrecedesEventCommandsAndEventsAreRecorded()
{
    f.writeDevice(
        7, { { "sensor1-press-event", 4 }, { "sensor1-msg-file", f.dataFile("tone8k.mp3") } });
    QVERIFY(f.startModule());
    int result = -1;
    VelkPanel *p = f.panel(7, &result);
    QCOMPARE(result, 0);
    QStringList order;
    connect(p, &VelkPanel::answered, [&order] { order << "answer"; });
    connect(p, &VelkPanel::requestReceived,
            [&order](int command) { order << QString::number(command); });
    // A button press would start the button's call; its records come with the calls.
    p->queueEvents(1, 2, 0, 2); // power on, button up, sensor2 up
    QCOMPARE(f.report(p), 0);
    p->queueEvents(0, 0, 1, 1); // both sensors down: sensor1's message plays
    QCOMPARE(f.report(p), 0);
    QTRY_COMPARE(order, QStringList({ "answer", "answer", "6" }));
    QCOMPARE(f.velk->findDevice(7)->state(), int(VelkDevice::Waiting));
    const QList<QStringList> expected {
        { "7", "1", "PWR" }, { "7", "0", "BTC" }, { "7", "0", "S2C" },
        { "7", "1", "S1O" }, { "7", "1", "S2O" },
    };
    QTRY_COMPARE(f.host->smdr, expected);
}

void TestVelkDevice::partialAndFullSaves()
{
    f.writeDevice(7, { { "dpm-dtmf", true }, { "echo-enable", true }, { "music-path", "/x.mp3" } });
    QVERIFY(f.startModule());
    int result = -1;
    VelkPanel *p = f.panel(7, &result);
    QCOMPARE(result, 0);
    QSignalSpy applied(p, &VelkPanel::applied);
    // The report's device information, saved once and without a push while unregistered.
    QSettings devices(Env::configFilePath("velk-devices"), QSettings::IniFormat);
    devices.sync();
    QCOMPARE(devices.value("7/info-firmware").toString(), QString("1.0"));
    QCOMPARE(devices.value("7/info-hardware").toString(), QString("2"));
    QCOMPARE(f.report(p), 0);
    QVERIFY(!applied.contains({ int(VelkProtocol::SetSettings) }));

    // A partial save keeps what the map lacks and pushes nothing without the flag.
    f.velk->saveDevice(7, { { "speaker-volume", "6" }, { "no-such-key", "1" } }, true, false);
    devices.sync();
    QCOMPARE(devices.value("7/dpm-dtmf").toBool(), true);
    QVERIFY(!devices.contains("7/no-such-key"));
    QCOMPARE(f.velk->findDevice(7)->property("speaker-volume").toString(), QString("6"));

    // A whole form: unticked boxes false, missing music keys back to defaults, code pairs.
    f.velk->saveDevice(7,
                       { { "speaker-volume", "4" },
                         { "dpm-mode-list-code", "a,b" },
                         { "a_code", "12" },
                         { "a_value", "301" },
                         { "b_code", "13" },
                         { "b_value", " " } },
                       false, true);
    devices.sync();
    QCOMPARE(devices.value("7/dpm-dtmf").toBool(), false);
    QCOMPARE(devices.value("7/echo-enable").toBool(), false);
    QCOMPARE(devices.value("7/music-path").toString(), QString());
    QCOMPARE(devices.value("7/dpm-mode-list-code").toString(), QString("12>301"));
    QTRY_VERIFY(applied.contains({ int(VelkProtocol::SetSettings) }));
    QCOMPARE(quint8(p->settings().at(3)), quint8(4)); // the speaker byte
}

void TestVelkDevice::restartBindsAfterTheOldWorker()
{
    f.writeDevice(7, {});
    f.writeDevice(9, {});
    QVERIFY(f.startModule());
    int result = -1;
    VelkPanel *seven = f.panel(7, &result);
    QCOMPARE(result, 0);
    VelkPanel *nine = f.panel(9, &result);
    QCOMPARE(result, 0);
    QVERIFY(seven->audioPort() != nine->audioPort());
    for (int round = 0; round < 3; ++round) {
        // A device restart: unregistered and at once registered again.
        VelkDevice *device = f.velk->findDevice(7);
        device->changeState(VelkDevice::Unregistered);
        device->changeState(VelkDevice::Ready);
        // A new worker, not the old one on its way out.
        QVERIFY(!device->audioThread().ownedThread()->wait(100));
        QCOMPARE(f.report(seven), 0);
        QVERIFY(f.portInUse(seven->audioPort()));
        // A module restart: every device gone and loaded anew.
        // The old worker held until the module has stopped, and its end awaited without
        // delivering events, as under load: its last state stays queued.
        QSemaphore hold;
        if (round > 0)
            QMetaObject::invokeMethod(
                f.velk->worker(), [&hold] { hold.acquire(); }, Qt::QueuedConnection);
        f.velk->stop();
        hold.release();
        QVERIFY(round == 0 ? f.velk->waitSeconds(30) : f.velk->wait(30000));
        f.velk->start();
        // Not the old worker's state: a panel would report to a port not bound yet.
        QVERIFY(f.velk->connectionState() != VelkListening);
        QTRY_COMPARE_WITH_TIMEOUT(f.velk->connectionState(), VelkListening, 20000);
        QCOMPARE(f.report(seven), 0);
        QCOMPARE(f.report(nine), 0);
        QVERIFY(f.portInUse(seven->audioPort()));
        QVERIFY(f.portInUse(nine->audioPort()));
        QVERIFY(seven->audioPort() != nine->audioPort());
    }
}

void TestVelkDevice::endingWorkerHearsNothingMore()
{
    f.writeDevice(7, {});
    QVERIFY(f.startModule());
    int result = -1;
    f.panel(7, &result);
    QCOMPARE(result, 0);
    VelkDevice *device = f.velk->findDevice(7);
    QObject *worker = device->audioThread().worker();
    QVERIFY(worker);
    // The worker's thread held busy, so the worker outlives its stop for the check.
    QSemaphore busy, hold;
    const auto release = qScopeGuard([&hold] { hold.release(); });
    QMetaObject::invokeMethod(
        worker,
        [&] {
            busy.release();
            hold.acquire();
        },
        Qt::QueuedConnection);
    QVERIFY(busy.tryAcquire(1, 30000));
    device->changeState(VelkDevice::Unregistered);
    // A signal queued while the worker is being destroyed would leak; none can be queued.
    QVERIFY(!QObject::disconnect(device, nullptr, worker, nullptr));
    hold.release();
    QVERIFY(device->audioThread().waitSeconds(30));
    QCOMPARE(device->audioThread().worker(), nullptr);
}

QTEST_GUILESS_MAIN(TestVelkDevice)
#include "tst_velkdevice.moc"
