// Door devices end to end: the module on loopback, simulated panels reporting to it, firmware
// uploads through their bootloader; and the door side of calls: keypad numbers, the dial plan
// and the stored list of keypad codes.
#include "../threadhold.h"
#include "core/env.h"
#include "core/timescale.h"
#include "testmain.h"
#include "velk/velk.h"
#include "velk/velkdevice.h"
#include "velk/velkfirmware.h"
#include "velkfixture.h"
#include "velkpanel.h"

#include <QSemaphore>
#include <QtTest>

using Props = QVariantMap;
using Block = QPair<int, int>; // command and byte 21: the block, or 1 on and 0 off
using Reply = VelkPanel::Reply;
const Props kUpdatable { { "register-timeout", 255 } }; // a whole upload without reports

class TestVelkDevice : public VelkFixture
{
    Q_OBJECT

private slots:
    void registerConfirmExpire_data()
    {
        QTest::addColumn<double>("factor");
        QTest::addColumn<int>("registerTimeout");
        QTest::newRow("scaled") << 20.0 << 15;
        QTest::newRow("real-time") << 1.0 << 1;
    }
    void registerConfirmExpire()
    {
        QFETCH(double, factor);
        QFETCH(int, registerTimeout);
        TimeScale::setFactor(factor);
        VelkPanel *p = registered({ { "register-timeout", registerTimeout } });
        QVERIFY(p);
        QCOMPARE(device->state(), int(VelkDevice::Ready));
        QVERIFY(portInUse(p->audioPort()));
        QCOMPARE(p->audioPort(), device->audioPort());
        QCOMPARE(requests, QList<Block>({ { VelkProtocol::SetOutputs, 255 } })); // all off
        QCOMPARE(report(p), 0);
        const QString lines = log();
        QVERIFY(lines.contains("[VELK]: Device '7' change state Ready (Ready to call)"));
        QVERIFY(lines.indexOf("Device '7' register")
                < lines.indexOf("Device '7' confirmed register"));

        // Silent from here: the registration runs out after register-timeout + 32 s.
        const qint64 last = TimeScale::now();
        QTRY_COMPARE_WITH_TIMEOUT(device->state(), int(VelkDevice::Unregistered), 120000);
        // A coarse timer: up to 5 % early, on whole real milliseconds.
        QVERIFY(TimeScale::now() - last >= (registerTimeout + 32) * 1000 * 9 / 10);
        QVERIFY(log().contains("[VELK]: Device '7' timeout register"));
        QVERIFY(log().contains("[VELK]: Device '7' unregister"));
        QVERIFY(host->registered.first() && !host->registered.last()); // told the SIP side
    }
    void refusedReportChangesNothing_data()
    {
        QTest::addColumn<quint16>("number");
        QTest::addColumn<QString>("password");
        QTest::newRow("unknown device") << quint16(8) << "pw12";
        QTest::newRow("wrong password") << quint16(7) << "nope";
        QTest::newRow("password beyond four characters") << quint16(7) << "pw12-ignored";
    }
    void refusedReportChangesNothing()
    {
        QFETCH(quint16, number);
        QFETCH(QString, password);
        VelkPanel *owner = registered({});
        QVERIFY(owner);
        const QString before = log();
        // A stranger with another codec and address.
        VelkPanel *stranger = panel(number, password, 1);
        if (password == "pw12-ignored") { // only the first four characters count
            QCOMPARE(answer, 0);
            return;
        }
        QCOMPARE(answer, 3);
        QCOMPARE(stranger->audioPort(), quint16(0));
        QCOMPARE(velk->findChildren<VelkDevice *>().size(), 1);
        QCOMPARE(device->state(), int(VelkDevice::Ready));
        QCOMPARE(device->codec(), uchar(0));
        QCOMPARE(device->devicePort(), owner->localPort());
        QCOMPARE(log(), before);
    }
    void outputsReassertedAfterReboot_data()
    {
        QTest::addColumn<Props>("props");
        QTest::addColumn<int>("level"); // of a sensor message
        const QString tone = dataFile("tone8k.mp3");
        Props sensor { { "sensor1-press-event", 4 }, { "sensor1-msg-file", tone } };
        QTest::newRow("music") << Props { { "music", true }, { "music-path", tone } } << -1;
        sensor["music-freq"] = 2;
        QTest::newRow("sensor message at 48000 Hz") << sensor << 2;
        sensor["sensor1-msg-file"] = dataFile("absent.mp3");
        QTest::newRow("sensor message not loaded") << sensor << 0;
    }
    void outputsReassertedAfterReboot()
    {
        QFETCH(Props, props);
        QFETCH(int, level);
        const bool sensor1 = level >= 0; // held down: its message plays
        const int state = sensor1 ? VelkDevice::Waiting : VelkDevice::Ready;
        VelkPanel *p = registered(props, 0, sensor1);
        QVERIFY(p);
        QTRY_COMPARE(device->state(), state);
        QTRY_COMPARE(p->stateBits() & 0x05, 0x05); // call and speaker on
        if (sensor1)
            QCOMPARE(device->sensorMessageLevel(1), level);

        // Rebooted: the panel reports every output off, and gets them back.
        delete p;
        p = panel(7, "pw12", 0, sensor1);
        QCOMPARE(answer, 0);
        QTRY_COMPARE(p->stateBits() & 0x05, 0x05);
        QCOMPARE(device->state(), state);
        // Outputs that stand are not commanded again.
        requests.clear();
        QCOMPARE(report(p), 0);
        QCOMPARE(report(p), 0);
        QCOMPARE(requests, QList<Block>());
    }
    void firstMusicTogglePlays_data()
    {
        QTest::addColumn<Props>("props");
        QTest::addColumn<bool>("plays");
        const QString tone = dataFile("tone8k.mp3");
        QTest::newRow("8000 Hz file") << Props { { "music-path", tone } } << true;
        QTest::newRow("source without a name") << Props { { "music-type", 1 } } << false;
        QTest::newRow("unknown rate")
            << Props { { "music-path", tone }, { "music-freq", 7 } } << false;
    }
    void firstMusicTogglePlays()
    {
        QFETCH(Props, props);
        QFETCH(bool, plays);
        VelkPanel *p = registered(props);
        QVERIFY(p);
        requests.clear();
        emit device->toggleMusic(true);
        if (!plays) {
            QCOMPARE(report(p), 0); // everything the toggle caused has arrived before this answer
            QCOMPARE(requests, QList<Block>());
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
    void removedDeviceStaysRemoved_data()
    {
        QTest::addColumn<bool>("inCall");
        QTest::newRow("while its music plays") << false;
        QTest::newRow("in a call") << true;
    }
    // Removed while its music plays or in a call: its panel is switched off all the same, and
    // the position report its audio thread had already queued must not write the group back,
    // which would bring the device back with default settings.
    void removedDeviceStaysRemoved()
    {
        QFETCH(bool, inCall);
        VelkPanel *p = registered({ { "music", true }, { "music-path", dataFile("tone8k.mp3") } });
        QVERIFY(p);
        QTRY_COMPARE(device->currentOutput(), device->musicSound());
        if (inCall) {
            host->answers = true;
            device->incomingCall("bob", "7", "conv", "call-1", VelkDevice::AutoAnswer);
            QTRY_COMPARE_WITH_TIMEOUT(device->state(), int(VelkDevice::IncomingCall), 20000);
        }
        QTRY_COMPARE_WITH_TIMEOUT(p->stateBits() & 0x07, inCall ? 0x07 : 0x05, 20000);
        QPointer<VelkDevice> removed = device;
        QMetaObject::invokeMethod(
            device, [d = device] { d->onResetVelkOutputType(-1, "a.mp3", 3, 40); },
            Qt::QueuedConnection);
        velk->removeDevice(7);
        QTRY_VERIFY(removed.isNull());
        QVERIFY(!velk->deviceExists(7) && !velk->findDevice(7));
        QTRY_COMPARE_WITH_TIMEOUT(p->stateBits() & 0x07, 0, 20000); // call, microphone, speaker
        QCOMPARE(report(p), 3);
    }
    void answerPrecedesEventCommandsAndEventsAreRecorded()
    {
        VelkPanel *p = registered(
            { { "sensor1-press-event", 4 }, { "sensor1-msg-file", dataFile("tone8k.mp3") } });
        QVERIFY(p);
        QStringList order;
        connect(p, &VelkPanel::answered, [&order] { order << "answer"; });
        connect(p, &VelkPanel::requestReceived, [&order](int command, quint32, int seen) {
            if (seen == 1) // not a resend of a loaded machine
                order << QString::number(command);
        });
        // A button press would start the button's call; its records come with the calls.
        p->queueEvents(1, 2, 0, 2); // power on, button up, sensor2 up
        QCOMPARE(report(p), 0);
        p->queueEvents(0, 0, 1, 1); // both sensors down: sensor1's message plays
        QCOMPARE(report(p), 0);
        QTRY_COMPARE(order, QStringList({ "answer", "answer", "6" }));
        QCOMPARE(device->state(), int(VelkDevice::Waiting));
        QTRY_COMPARE(host->smdr,
                     QStringList({ "7 1 PWR", "7 0 BTC", "7 0 S2C", "7 1 S1O", "7 1 S2O" }));
    }
    void partialAndFullSaves()
    {
        VelkPanel *p = registered(
            { { "dpm-dtmf", true }, { "echo-enable", true }, { "music-path", "/x.mp3" } });
        QVERIFY(p);
        QSignalSpy applied(p, &VelkPanel::applied);
        // The report's device information, saved once and without a push while unregistered.
        QSettings devices(Env::configFilePath("velk-devices"), QSettings::IniFormat);
        devices.sync();
        QCOMPARE(devices.value("7/info-firmware").toString(), QString("1.0"));
        QCOMPARE(devices.value("7/info-hardware").toString(), QString("2"));
        QCOMPARE(report(p), 0);
        QVERIFY(!applied.contains({ int(VelkProtocol::SetSettings) }));

        // A partial save keeps what the map lacks and pushes nothing without the flag.
        velk->saveDevice(7, { { "speaker-volume", "6" }, { "no-such-key", "1" } }, true, false);
        devices.sync();
        QCOMPARE(devices.value("7/dpm-dtmf").toBool(), true);
        QVERIFY(!devices.contains("7/no-such-key"));
        QCOMPARE(device->property("speaker-volume").toString(), QString("6"));

        // A whole form: unticked boxes false, missing music keys back to defaults, code pairs.
        velk->saveDevice(7,
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
    void restartBindsAfterTheOldWorker()
    {
        writeDevice(9, {});
        VelkPanel *seven = registered({});
        QVERIFY(seven);
        VelkPanel *nine = panel(9);
        QCOMPARE(answer, 0);
        QVERIFY(seven->audioPort() != nine->audioPort());
        for (int round = 0; round < 3; ++round) {
            // A device restart: unregistered and at once registered again.
            device = velk->findDevice(7);
            device->changeState(VelkDevice::Unregistered);
            device->changeState(VelkDevice::Ready);
            // A new worker, not the old one on its way out.
            QVERIFY(!device->audioThread().ownedThread()->wait(100));
            QCOMPARE(report(seven), 0);
            QVERIFY(portInUse(seven->audioPort()));
            // A module restart: every device gone and loaded anew.
            // The old worker held until the module has stopped, and its end awaited without
            // delivering events, as under load: its last state stays queued.
            QSemaphore hold;
            if (round > 0)
                QMetaObject::invokeMethod(
                    velk->worker(), [&hold] { hold.acquire(); }, Qt::QueuedConnection);
            velk->stop();
            hold.release();
            QVERIFY(round == 0 ? velk->waitSeconds(30) : velk->wait(30000));
            velk->start();
            // Not the old worker's state: a panel would report to a port not bound yet.
            QVERIFY(velk->connectionState() != VelkListening);
            QTRY_COMPARE_WITH_TIMEOUT(velk->connectionState(), VelkListening, 20000);
            QCOMPARE(report(seven), 0);
            QCOMPARE(report(nine), 0);
            QVERIFY(portInUse(seven->audioPort()) && portInUse(nine->audioPort()));
            QVERIFY(seven->audioPort() != nine->audioPort());
        }
    }
    void endingWorkerHearsNothingMore()
    {
        QVERIFY(registered({}));
        QObject *worker = device->audioThread().worker();
        QVERIFY(worker);
        // The worker's thread held busy, so the worker outlives its stop for the check.
        ThreadHold hold(worker);
        QVERIFY(hold.held());
        device->changeState(VelkDevice::Unregistered);
        // A signal queued while the worker is being destroyed would leak; none can be queued.
        QVERIFY(!QObject::disconnect(device, nullptr, worker, nullptr));
        hold.release();
        QVERIFY(device->audioThread().waitSeconds(30));
        QCOMPARE(device->audioThread().worker(), nullptr);
    }
    void keypadPausesBeforePrompts_data()
    {
        QTest::addColumn<Props>("props");
        QTest::addColumn<QList<int>>("keys"); // the last one's report is timed
        QTest::addColumn<int>("output");
        QTest::addColumn<int>("call"); // byte of the outputs command after the pause
        using L = QList<int>;
        const Props music { { "music", true }, { "music-path", dataFile("tone8k.mp3") } };
        QTest::newRow("'#' without digits: error prompt") << Props() << L { 12 } << 9 << 1;
        QTest::newRow("'*' with nothing playing: info-error prompt")
            << Props() << L { 11 } << 11 << 1;
        QTest::newRow("'*' while music plays: all off") << music << L { 11 } << 0 << 255;
        QTest::newRow("digits without a call: not-available prompt")
            << Props { { "button-press-event", 0 } } << L { 4, 12 } << 7 << 1;
    }
    void keypadPausesBeforePrompts()
    {
        QFETCH(Props, props);
        QFETCH(QList<int>, keys);
        QFETCH(int, output);
        QFETCH(int, call);
        TimeScale::setFactor(1); // a pause of 100 real ms stands out of the jitter
        VelkPanel *p = registered(props, 0, false, 5);
        QVERIFY(p);
        if (props.contains("music")) {
            QTRY_VERIFY(device->currentOutput() >= 1000000);
            QTRY_COMPARE(p->stateBits() & 0x05, 0x05); // not asserted again by the next report
        }
        for (int i = 0; i + 1 < keys.size(); ++i) {
            p->queueEvents(0, quint8(keys.at(i)), 0, 0);
            QCOMPARE(report(p), 0);
        }
        QCOMPARE(report(p), 0); // what was sent so far has arrived before its answer
        // Arrival times in the panel's order: the report's answer, then the outputs command.
        QList<qint64> arrivals;
        QObject scope; // the recording ends with this test
        connect(p, &VelkPanel::answered, &scope, [&arrivals] { arrivals << TimeScale::now(); });
        connect(p, &VelkPanel::requestReceived, &scope,
                [&arrivals](int command, quint32, int seen) {
                    if (seen == 1 && command == VelkProtocol::SetOutputs)
                        arrivals << TimeScale::now();
                });
        requests.clear();
        p->queueEvents(0, quint8(keys.last()), 0, 0);
        const qint64 sent = TimeScale::now();
        QCOMPARE(report(p), 0);
        QTRY_COMPARE(arrivals.size(), 2);
        // The timer is armed after the report was sent, so the command cannot come sooner than
        // the pause after it; nothing else waits nearly as long as the upper bound.
        const qint64 pause = arrivals.at(1) - sent;
        QVERIFY2(pause >= VelkDevice::kPromptPauseMs && pause < 15 * VelkDevice::kPromptPauseMs,
                 qPrintable(QString("answer after %1 ms, command after %2 ms")
                                .arg(arrivals.at(0) - sent)
                                .arg(pause)));
        QCOMPARE(requests, QList<Block>({ { VelkProtocol::SetOutputs, call } }));
        QTRY_COMPARE(device->currentOutput(), output);
    }
    // The door side of calls without a network.
    void keypadCallee_data()
    {
        QTest::addColumn<QString>("list");
        QTest::addColumn<QString>("digits");
        QTest::addColumn<QString>("callee");
        QTest::newRow("listed") << QString("101>alice;102>bob") << "102" << QString("bob");
        QTest::newRow("not listed") << QString("101>alice;102>bob") << "109" << QString();
        QTest::newRow("lengths differ") << QString("1>alice;22>bob") << "22" << QString("bob");
        QTest::newRow("malformed skipped") << QString("1>a>b;;7>carol") << "7" << QString("carol");
    }
    void keypadCallee()
    {
        QFETCH(QString, list);
        QFETCH(QString, digits);
        VelkDevice door(3, nullptr);
        door.setProperty("dpm-mode", "1");
        door.setProperty("dpm-mode-list-code", list);
        door.updateKeypadCodeLength();
        QCOMPARE(door.keypadCallee(QString()), QString());
        QTEST(door.keypadCallee(digits), "callee");
        // Outside the list mode the digits are the callee.
        door.setProperty("dpm-mode", "0");
        QCOMPARE(door.keypadCallee(digits), digits);
    }
    void dialplan_data()
    {
        QTest::addColumn<QString>("callId");
        QTest::addColumn<QList<int>>("keys");
        QTest::addColumn<QList<int>>("results");
        using L = QList<int>;
        QTest::newRow("3 waits, 31 is the playlist") << "control" << L { 3, 1 } << L { 0, 2 };
        QTest::newRow("55 opens relay 1") << "control" << L { 5, 5 } << L { 0, 3 };
        QTest::newRow("no code") << "control" << L { 4 } << L { -1 };
        QTest::newRow("music toggle from control") << "control" << L { 0 } << L { 1 };
        QTest::newRow("not the device's call") << "abc" << L { 5 } << L { -1 };
        QTest::newRow("'*' is no digit") << "control" << L { 10 } << L { -1 };
        // -1: the event loop runs. Keys come in bursts (from the conversation's thread): the key
        // after a used-up code must not go down with the used-up buffer.
        QTest::newRow("55 then 54 in one burst")
            << "control" << L { 5, 5, 5, -1, 4 } << L { 0, 3, 0, 3 };
    }
    void dialplan()
    {
        QFETCH(QString, callId);
        QFETCH(QList<int>, keys);
        VelkDevice door(3, nullptr);
        QList<int> got;
        for (int key : keys) {
            if (key < 0)
                QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            else
                got << door.sipInfo(callId, "alice", uchar(key));
        }
        QTEST(got, "results");
    }
    // A relay code goes to the panel at once; the log says so when the panel has done it, and
    // only then does the one who keyed it hear it was done.
    void dialplanRelayCodes_data()
    {
        QTest::addColumn<Props>("props");
        QTest::addColumn<int>("relay"); // keyed: its "on" code
        QTest::addColumn<Reply>("reply");
        QTest::addColumn<int>("away"); // after two sends: 1 unregistered, 2 deleted
        QTest::addColumn<int>("code"); // relay byte sent; 0: nothing sent
        QTest::addColumn<int>("heard"); // by the keyer: 2 done, -1 error
        QTest::addColumn<QStringList>("lines"); // each logged once, and no other relay line
        const QString on = "Device '7' relay %1 on";
        QTest::newRow("pulse of 254 stays a pulse")
            << Props { { "relay1-mode", "1,254" } } << 1 << Reply::Answer << 0 << 253 << 2
            << QStringList { "[VELK]: " + on.arg(1) };
        QTest::newRow("stored pulse beyond a byte clamped as it loads")
            << Props { { "relay2-mode", "1,510" } } << 2 << Reply::Answer << 0 << 253 << 2
            << QStringList { "[WARNING]: Device '7': relay2-mode \"1,510\" read as \"1,255\"",
                             "[VELK]: " + on.arg(2) };
        QTest::newRow("unquoted pulse beyond a word clamped as it loads")
            << Props { { "relay2-mode", QStringList { "1", "4294967296" } } } << 2 << Reply::Answer
            << 0 << 253 << 2
            << QStringList { "[WARNING]: Device '7': relay2-mode \"1,4294967296\" read as",
                             "[VELK]: " + on.arg(2) };
        QTest::newRow("stored mode that is none read as a pulse")
            << Props { { "relay1-mode", "-1" } } << 1 << Reply::Answer << 0 << 1 << 2
            << QStringList { "[WARNING]: Device '7': relay1-mode \"-1\" read as \"1\"",
                             "[VELK]: " + on.arg(1) };
        QTest::newRow("never confirmed")
            << Props() << 1 << Reply::Never << 0 << 1 << -1
            << QStringList { "[WARNING]: " + on.arg(1) + " not confirmed: no answer" };
        QTest::newRow("refused") << Props { { "relay3-mode", "1,40" } } << 3 << Reply::Refuse << 0
                                 << 40 << -1
                                 << QStringList { "[WARNING]: " + on.arg(3)
                                                  + " refused by the panel (result 3)" };
        QTest::newRow("follows the call: nothing switched, prompts at once")
            << Props { { "relay3-mode", "2" } } << 3 << Reply::Answer << 0 << 0 << 2
            << QStringList();
        const QString gone = "[WARNING]: " + on.arg(1) + " not confirmed: the device unregistered";
        QTest::newRow("unregistered while waiting")
            << Props() << 1 << Reply::Never << 1 << 1 << -1 << QStringList { gone };
        QTest::newRow("deleted while waiting")
            << Props() << 1 << Reply::Never << 2 << 1 << -1
            << QStringList { gone, "[VELK]: Device '7' unregister" };
    }
    void dialplanRelayCodes()
    {
        QFETCH(Props, props);
        QFETCH(int, relay);
        QFETCH(Reply, reply);
        QFETCH(int, away);
        QFETCH(int, code);
        QFETCH(int, heard);
        QFETCH(QStringList, lines);
        VelkPanel *p = registered(props);
        QVERIFY(p);
        p->setPolicy(VelkProtocol::SetOutputs, { reply, 3 });
        QSignalSpy sent(velk, &Velk::sendDatagram);
        QSignalSpy received(p, &VelkPanel::requestReceived);
        QCOMPARE(device->sipInfo("control", "bob", uchar(relay + 4)), 0);
        auto prompts = std::make_shared<QList<int>>();
        const int result
            = device->sipInfo("control", "bob", 5, [prompts](int r) { *prompts << r; });
        QCOMPARE(result, code ? 3 : 2);
        if (result != 3)
            *prompts << result;
        QCOMPARE(sent.size(), code ? 1 : 0);
        if (code)
            QCOMPARE(quint8(sent.first().at(2).toByteArray().at(23 + relay)), quint8(code));
        if (away) {
            QTRY_VERIFY(received.size() >= 2 && received.at(1).at(2).toInt() == 2);
            if (away == 1)
                device->changeState(VelkDevice::Unregistered);
            else
                velk->removeDevice(7);
        }
        for (const QString &line : lines)
            QTRY_VERIFY_WITH_TIMEOUT(log().contains(line), 60000);
        QCOMPARE(*prompts, QList<int> { heard });
        const QString relayLines = log();
        for (const QString &line : lines)
            QCOMPARE(relayLines.count(line), 1);
        QCOMPARE(relayLines.count(QString("Device '7' relay")), lines.filter(" relay ").size());
        QVERIFY(!relayLines.contains("Device ''"));
    }
    void separatorsInKeypadCodesRefused_data()
    {
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("callee");
        QTest::addColumn<bool>("saved");
        QTest::newRow("plain") << QString("12") << QString("alice") << true;
        QTest::newRow("';' in the code") << QString("1;2") << QString("alice") << false;
        QTest::newRow("'>' in the code") << QString("1>2") << QString("alice") << false;
        QTest::newRow("';' in the callee") << QString("12") << QString("al;ice") << false;
        QTest::newRow("'>' in the callee") << QString("12") << QString("a>b") << false;
    }
    void separatorsInKeypadCodesRefused()
    {
        QFETCH(QString, code);
        QFETCH(QString, callee);
        QFETCH(bool, saved);
        writeDevice(4, { { "dpm-mode-list-code", "9>bob" } });
        Velk module(host);
        QCOMPARE(
            module.saveDevice(
                4, { { "dpm-mode-list-code", "r1" }, { "r1_code", code }, { "r1_value", callee } },
                true, false),
            saved);
        QSettings devices(Env::configFilePath("velk-devices"), QSettings::IniFormat);
        QCOMPARE(devices.value("4/dpm-mode-list-code").toString(),
                 saved ? QString("%1>%2").arg(code, callee) : QString("9>bob"));
    }
    // Firmware upload through the panel's bootloader.
    void uploadWritesVerifiesAndLeaves_data()
    {
        QTest::addColumn<quint8>("hardware");
        QTest::newRow("type 1, 128 blocks") << quint8(1);
        QTest::newRow("type 4, 256 blocks") << quint8(4);
        QTest::newRow("type 7, 256 blocks") << quint8(7);
    }
    void uploadWritesVerifiesAndLeaves()
    {
        QFETCH(quint8, hardware);
        VelkPanel *p = registered(kUpdatable, 0, false, hardware);
        QVERIFY(p);
        // A first attempt ends with the device's unregistration; once back it may be updated.
        QVERIFY(device->startFirmwareUpdate().started);
        QVERIFY(reachedPhase(VelkDevice::UpdateWaitBootloader));
        device->changeState(VelkDevice::Unregistered);
        QVERIFY(!device->startFirmwareUpdate().started);
        QCOMPARE(report(p), 0);
        requests.clear();

        // The panel reports from its bootloader once while writing and once while reading.
        QSet<int> reportedIn;
        connect(p, &VelkPanel::requestReceived, p, [&, p](int command, quint32, int, int data) {
            if (data == 1 && command != VelkProtocol::Bootloader && !reportedIn.contains(command)) {
                reportedIn << command;
                p->sendReport();
            }
        });
        QVERIFY(device->startFirmwareUpdate().started);
        QVERIFY(!device->startFirmwareUpdate().started);
        QVERIFY(reachedPhase(VelkDevice::UpdateWaitBootloader));
        QCOMPARE(report(p), 0);
        QCOMPARE(device->status(), 4);
        QSignalSpy applied(p, &VelkPanel::applied); // waits without the sleeps of QTRY
        while (p->inBootloader())
            QVERIFY(applied.wait(30000));
        QCOMPARE(device->firmwareProgress(), 100);
        QCOMPARE(report(p), 0); // from the new firmware
        QVERIFY(!device->isFirmwareUpdating());
        QCOMPARE(device->status(), 1);

        const int last = VelkFirmware::lastBlock(hardware);
        QList<Block> expected { { VelkProtocol::Bootloader, 1 } };
        for (int command : { VelkProtocol::WriteBlock, VelkProtocol::ReadBlock }) {
            for (int block = 0; block <= last; ++block)
                expected << Block(command, block);
        }
        QCOMPARE(blocks(), expected << Block(VelkProtocol::Bootloader, 0));
        QCOMPARE(p->firmwareImage().left((last + 1) * 256), device->firmwareImage());
    }
    void stoppedUpdateWritesNothingMore_data()
    {
        QTest::addColumn<int>("command"); // 0: a panel of hardware type 8, which has no image
        QTest::addColumn<Reply>("reply");
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("lastBlock"); // of the last request, which is of the row's command
        QTest::addColumn<int>("status");
        const int on = VelkProtocol::Bootloader, write = VelkProtocol::WriteBlock,
                  read = VelkProtocol::ReadBlock;
        QTest::newRow("no image") << 0 << Reply::Answer << 0 << 0 << 1;
        QTest::newRow("bootloader refused") << on << Reply::Refuse << 2 << 1 << 1;
        QTest::newRow("write refused") << write << Reply::Refuse << 1 << 0 << 3;
        QTest::newRow("block 5 reads back different") << read << Reply::Corrupt << 5 << 5 << 3;
        QTest::newRow("last block reads back different")
            << read << Reply::Corrupt << 127 << 127 << 3;
        QTest::newRow("read-back cut short") << read << Reply::Cut << 200 << 0 << 3;
        QTest::newRow("read-back of the next block") << read << Reply::OtherBlock << 1 << 0 << 3;
        // Answered in the grace after the request gave up at 15.5 s, well after it: the resend
        // timers run late on a loaded machine, never early beyond their 5 %.
        for (int command : { on, write, read })
            QTest::addRow("answer to %d after time-out", command)
                << command << Reply::Late << 21500 << (command == on ? 1 : 0) << 3;
    }
    void stoppedUpdateWritesNothingMore()
    {
        QFETCH(int, command);
        QFETCH(Reply, reply);
        QFETCH(int, value);
        VelkPanel *p = registered(kUpdatable, 0, false, command ? 1 : 8);
        QVERIFY(p);
        p->setPolicy(command, { reply, value });
        QSignalSpy answers(p, &VelkPanel::answerSent);
        QCOMPARE(device->startFirmwareUpdate().started, command != 0);
        if (command > VelkProtocol::Bootloader) {
            QVERIFY(reachedPhase(VelkDevice::UpdateWaitBootloader));
            QCOMPARE(report(p), 0);
        }
        QTRY_VERIFY_WITH_TIMEOUT(!device->isFirmwareUpdating(), 60000);
        const QList<Block> atStop = blocks();
        QTEST(atStop.value(atStop.size() - 1).second, "lastBlock");
        QCOMPARE(atStop.value(atStop.size() - 1).first, command);
        if (reply == Reply::Late)
            QTRY_VERIFY_WITH_TIMEOUT(answers.contains({ command }), 60000);
        QCOMPARE(report(p), 0); // also from the bootloader: no chain starts again
        QCOMPARE(blocks(), atStop);
        QCOMPARE(device->firmwareUpdatePhase(), int(VelkDevice::UpdateIdle));
        QTEST(device->status(), "status");
    }

private:
    // The bootloader and block requests as first received.
    QList<Block> blocks() const
    {
        QList<Block> found;
        for (const Block &r : requests) {
            if (r.first >= VelkProtocol::Bootloader && r.first <= VelkProtocol::WriteBlock)
                found << r;
        }
        return found;
    }
    bool reachedPhase(int phase)
    {
        return QTest::qWaitFor([=] { return device->firmwareUpdatePhase() == phase; }, 20000);
    }
};

TARNHALL_TEST_MAIN(TestVelkDevice)
#include "tst_velkdevice.moc"
