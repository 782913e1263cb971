// Door devices end to end: the module on loopback, simulated panels reporting to it.
#include "core/env.h"
#include "core/modulehost.h"
#include "core/qsmdraction.h"
#include "core/timescale.h"
#include "velk/velk.h"
#include "velk/velkdevice.h"
#include "velk/velksipservices.h"
#include "velkpanel.h"

#include <QUdpSocket>
#include <QtTest>

namespace {

using Props = QVariantMap;

struct Smdr
{
    QString src, dest;
    int action;
    bool operator==(const Smdr &o) const
    {
        return src == o.src && dest == o.dest && action == o.action;
    }
};

quint16 freeLoopbackPort()
{
    QUdpSocket probe;
    probe.bind(QHostAddress(QHostAddress::LocalHost), 0);
    return probe.localPort();
}

bool portInUse(quint16 port)
{
    QUdpSocket probe;
    return port != 0
        && !probe.bind(QHostAddress(QHostAddress::LocalHost), port, QUdpSocket::DontShareAddress);
}

QString dataFile(const QString &name)
{
    return qEnvironmentVariable("TARNHALL_SOURCE_DIR") + "/server/tests/velk/data/" + name;
}

} // namespace

Q_DECLARE_METATYPE(Smdr)

// The module's owner: the main settings in memory and the SMDR records it was handed.
class Host : public QObject, public ModuleHost
{
    Q_OBJECT
public:
    void setValue(const QString &g, const QString &k, const QVariant &v) override
    {
        values[g + '/' + k] = v;
    }
    void setDefaultValue(const QString &g, const QString &k, const QVariant &v) override
    {
        if (!values.contains(g + '/' + k))
            setValue(g, k, v);
    }
    QVariant value(const QString &g, const QString &k, const QVariant &d) const override
    {
        return values.value(g + '/' + k, d);
    }
    bool restartSipAndVelk() override { return false; }
    bool isStopping() const override { return false; }

    QHash<QString, QVariant> values;
    QList<Smdr> smdr;

public slots:
    void smdrLog(const QDateTime &, const QString &src, const QString &dest, const qlonglong &,
                 const QSmdrAction::Type &action, const QString &)
    {
        smdr << Smdr { src, dest, int(action) };
    }
};

class Sip : public VelkSipServices
{
public:
    void isDeviceRegisteredChanged(int, bool state) override { registered << state; }
    void isDeviceBusyChanged(int, bool) override { }
    void resultSipInfo(const QString &, const QString &, int, const QString &, int) override { }
    void callIntercepted(const QString &, const QString &, const QString &) override { }
    QList<bool> registered;
};

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

private:
    void writeDevice(quint16 number, const Props &props);
    void startModule();
    // A panel that has sent its first report; result is its answer's, -1 without one.
    VelkPanel *panel(quint16 number, int *result, const QString &password = "pw12",
                     quint8 codec = 0, bool sensor1 = false);
    // Sends a report and waits for its answer; the result, or -1 without one.
    int report(VelkPanel *p);
    QString log() const;

    Host *m_Host = nullptr;
    Velk *m_Velk = nullptr;
    Sip m_Sip;
    quint16 m_Port = 0;
    qint64 m_LogStart = 0;
    QList<int> m_Requests; // commands the panels received
};

void TestVelkDevice::initTestCase()
{
    Env::initApplication(qPrintable(QCoreApplication::applicationFilePath()));
    qRegisterMetaType<Smdr>();
}

void TestVelkDevice::init()
{
    TimeScale::setFactor(20);
    QFile::remove(Env::configFilePath("velk-devices"));
    m_Host = new Host;
    m_Port = freeLoopbackPort();
    m_Host->values["velk/bind-address"] = "127.0.0.1";
    m_Host->values["velk/bind-port"] = m_Port;
    m_Sip.registered.clear();
    m_Requests.clear();
    m_LogStart = QFileInfo(Env::textLogPath()).size();
}

void TestVelkDevice::cleanup()
{
    if (m_Velk) {
        m_Velk->stop();
        QVERIFY(m_Velk->waitSeconds(30));
    }
    delete m_Host; // with the module, its devices and their audio threads
    m_Host = nullptr;
    m_Velk = nullptr;
}

void TestVelkDevice::writeDevice(quint16 number, const Props &props)
{
    QSettings devices(Env::configFilePath("velk-devices"), QSettings::IniFormat);
    devices.beginGroup(QString::number(number));
    devices.setValue("device-password", "pw12");
    for (auto it = props.cbegin(); it != props.cend(); ++it)
        devices.setValue(it.key(), it.value());
    devices.endGroup();
}

void TestVelkDevice::startModule()
{
    m_Velk = new Velk(m_Host);
    m_Velk->setSipServices(&m_Sip);
    m_Velk->start();
    QTRY_COMPARE_WITH_TIMEOUT(m_Velk->connectionState(), VelkListening, 20000);
}

VelkPanel *TestVelkDevice::panel(quint16 number, int *result, const QString &password, quint8 codec,
                                 bool sensor1)
{
    auto *p = new VelkPanel({ number, password, 2, 1, 0, codec }, m_Velk);
    connect(p, &VelkPanel::protocolError, [](const QString &e) { QFAIL(qPrintable(e)); });
    connect(p, &VelkPanel::requestReceived, [this](int command) { m_Requests << command; });
    p->setInputs(false, sensor1, false);
    QSignalSpy answered(p, &VelkPanel::answered);
    p->start(QHostAddress(QHostAddress::LocalHost), m_Port, 0);
    *result = answered.wait(20000) ? answered.first().first().toInt() : -1;
    return p;
}

int TestVelkDevice::report(VelkPanel *p)
{
    QSignalSpy answered(p, &VelkPanel::answered);
    p->sendReport();
    return answered.wait(20000) ? answered.first().first().toInt() : -1;
}

QString TestVelkDevice::log() const
{
    QFile file(Env::textLogPath());
    if (!file.open(QIODevice::ReadOnly) || !file.seek(m_LogStart))
        return {};
    return QString::fromUtf8(file.readAll());
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
    writeDevice(7, { { "register-timeout", registerTimeout } });
    startModule();
    TimeScale::setFactor(factor);
    int result = -1;
    VelkPanel *p = panel(7, &result);
    QCOMPARE(result, 0);
    VelkDevice *device = m_Velk->findDevice(7);
    QCOMPARE(device->state(), int(VelkDevice::Ready));
    QVERIFY(portInUse(p->audioPort()));
    QCOMPARE(p->audioPort(), device->audioPort());
    QCOMPARE(m_Requests, QList<int>({ VelkProtocol::SetOutputs })); // all off
    QCOMPARE(report(p), 0);
    const QString lines = log();
    QVERIFY(lines.contains("[VELK]: Device '7' change state Ready (Ready to call)"));
    QVERIFY(lines.indexOf("Device '7' register") < lines.indexOf("Device '7' confirmed register"));

    // Silent from here: the registration runs out after register-timeout + 32 s.
    const qint64 last = TimeScale::now();
    QTRY_COMPARE_WITH_TIMEOUT(device->state(), int(VelkDevice::Unregistered), 120000);
    QVERIFY(TimeScale::now() - last >= (registerTimeout + 32) * 1000 * 95 / 100);
    QVERIFY(log().contains("[VELK]: Device '7' timeout register"));
    QVERIFY(log().contains("[VELK]: Device '7' unregister"));
    QCOMPARE(m_Sip.registered.first(), true);
    QCOMPARE(m_Sip.registered.last(), false);
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
    writeDevice(7, {});
    startModule();
    int result = -1;
    VelkPanel *owner = panel(7, &result);
    QCOMPARE(result, 0);
    VelkDevice *device = m_Velk->findDevice(7);
    const QString before = log();

    // A stranger with another codec and address.
    VelkPanel *stranger = panel(number, &result, password, 1);
    if (password == "pw12-ignored") { // only the first four characters count
        QCOMPARE(result, 0);
        return;
    }
    QCOMPARE(result, 3);
    QCOMPARE(stranger->audioPort(), quint16(0));
    QCOMPARE(m_Velk->findChildren<VelkDevice *>().size(), 1);
    QCOMPARE(device->state(), int(VelkDevice::Ready));
    QCOMPARE(device->codec(), uchar(0));
    QCOMPARE(device->devicePort(), owner->localPort());
    QCOMPARE(log(), before);
}

void TestVelkDevice::outputsReassertedAfterReboot_data()
{
    QTest::addColumn<Props>("props");
    QTest::addColumn<bool>("sensor1");
    QTest::addColumn<int>("state");
    QTest::addColumn<int>("level");
    const QString tone = dataFile("tone8k.mp3");
    QTest::newRow("music") << Props { { "music", true }, { "music-path", tone } } << false
                           << int(VelkDevice::Ready) << -1;
    QTest::newRow("sensor message at 48000 Hz")
        << Props { { "sensor1-press-event", 4 }, { "sensor1-msg-file", tone }, { "music-freq", 2 } }
        << true << int(VelkDevice::Waiting) << 2;
    QTest::newRow("sensor message not loaded")
        << Props { { "sensor1-press-event", 4 }, { "sensor1-msg-file", dataFile("absent.mp3") } }
        << true << int(VelkDevice::Waiting) << 0;
}

void TestVelkDevice::outputsReassertedAfterReboot()
{
    QFETCH(Props, props);
    QFETCH(bool, sensor1);
    QFETCH(int, state);
    QFETCH(int, level);
    writeDevice(7, props);
    startModule();
    int result = -1;
    VelkPanel *p = panel(7, &result, "pw12", 0, sensor1);
    QCOMPARE(result, 0);
    VelkDevice *device = m_Velk->findDevice(7);
    QTRY_COMPARE(device->state(), state);
    QTRY_COMPARE(p->stateBits() & 0x05, 0x05); // call and speaker on
    if (level >= 0)
        QCOMPARE(device->sensorMessageLevel(1), level);

    // Rebooted: the panel reports every output off, and gets them back.
    delete p;
    p = panel(7, &result, "pw12", 0, sensor1);
    QCOMPARE(result, 0);
    QTRY_COMPARE(p->stateBits() & 0x05, 0x05);
    QCOMPARE(device->state(), state);
    // Outputs that stand are not commanded again.
    QSignalSpy requests(p, &VelkPanel::requestReceived);
    QCOMPARE(report(p), 0);
    QCOMPARE(report(p), 0);
    QCOMPARE(requests.size(), 0);
}

void TestVelkDevice::firstMusicTogglePlays_data()
{
    QTest::addColumn<Props>("props");
    QTest::addColumn<bool>("plays");
    const QString tone = dataFile("tone8k.mp3");
    QTest::newRow("8000 Hz file") << Props { { "music-path", tone } } << true;
    QTest::newRow("source without a name") << Props { { "music-type", 1 } } << false;
    QTest::newRow("unknown rate") << Props { { "music-path", tone }, { "music-freq", 7 } } << false;
}

void TestVelkDevice::firstMusicTogglePlays()
{
    QFETCH(Props, props);
    QFETCH(bool, plays);
    writeDevice(7, props);
    startModule();
    int result = -1;
    VelkPanel *p = panel(7, &result);
    QCOMPARE(result, 0);
    VelkDevice *device = m_Velk->findDevice(7);
    QSignalSpy requests(p, &VelkPanel::requestReceived);
    emit device->toggleMusic(true);
    if (!plays) {
        QCOMPARE(report(p), 0); // everything the toggle caused has arrived before this answer
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
    writeDevice(7,
                { { "sensor1-press-event", 4 }, { "sensor1-msg-file", dataFile("tone8k.mp3") } });
    startModule();
    int result = -1;
    VelkPanel *p = panel(7, &result);
    QCOMPARE(result, 0);
    QStringList order;
    connect(p, &VelkPanel::answered, [&order] { order << "answer"; });
    connect(p, &VelkPanel::requestReceived,
            [&order](int command) { order << QString::number(command); });
    p->queueEvents(1, 1, 0, 2); // power on, button down, sensor2 up
    QCOMPARE(report(p), 0);
    p->queueEvents(0, 2, 1, 1); // button up, both sensors down: sensor1's message plays
    QCOMPARE(report(p), 0);
    QTRY_COMPARE(order, QStringList({ "answer", "answer", "6" }));
    QCOMPARE(m_Velk->findDevice(7)->state(), int(VelkDevice::Waiting));
    const QList<Smdr> expected {
        { "7", "1", QSmdrAction::PWR }, { "7", "1", QSmdrAction::BTO },
        { "7", "0", QSmdrAction::S2C }, { "7", "0", QSmdrAction::BTC },
        { "7", "1", QSmdrAction::S1O }, { "7", "1", QSmdrAction::S2O },
    };
    QTRY_COMPARE(m_Host->smdr, expected);
}

void TestVelkDevice::partialAndFullSaves()
{
    writeDevice(7, { { "dpm-dtmf", true }, { "echo-enable", true }, { "music-path", "/x.mp3" } });
    startModule();
    int result = -1;
    VelkPanel *p = panel(7, &result);
    QCOMPARE(result, 0);
    QSignalSpy applied(p, &VelkPanel::applied);
    // The report's device information, saved once and without a push while unregistered.
    QSettings devices(Env::configFilePath("velk-devices"), QSettings::IniFormat);
    devices.sync();
    QCOMPARE(devices.value("7/info-firmware").toString(), QString("1.0"));
    QCOMPARE(devices.value("7/info-hardware").toString(), QString("2"));
    QCOMPARE(report(p), 0);
    QVERIFY(!applied.contains({ int(VelkProtocol::SetSettings) }));

    // A partial save keeps what the map lacks and pushes nothing without the flag.
    m_Velk->saveDevice(7, { { "speaker-volume", "6" }, { "no-such-key", "1" } }, true, false);
    devices.sync();
    QCOMPARE(devices.value("7/dpm-dtmf").toBool(), true);
    QVERIFY(!devices.contains("7/no-such-key"));
    QCOMPARE(m_Velk->findDevice(7)->property("speaker-volume").toString(), QString("6"));

    // A whole form: unticked boxes false, missing music keys back to defaults, code pairs.
    m_Velk->saveDevice(7,
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
    writeDevice(7, {});
    writeDevice(9, {});
    startModule();
    int result = -1;
    VelkPanel *seven = panel(7, &result);
    QCOMPARE(result, 0);
    VelkPanel *nine = panel(9, &result);
    QCOMPARE(result, 0);
    QVERIFY(seven->audioPort() != nine->audioPort());
    for (int round = 0; round < 3; ++round) {
        // A device restart: unregistered and at once registered again.
        VelkDevice *device = m_Velk->findDevice(7);
        device->changeState(VelkDevice::Unregistered);
        device->changeState(VelkDevice::Ready);
        // A new worker, not the old one on its way out.
        QVERIFY(!device->audioThread().ownedThread()->wait(100));
        QCOMPARE(report(seven), 0);
        QVERIFY(portInUse(seven->audioPort()));
        // A module restart: every device gone and loaded anew.
        m_Velk->stop();
        QVERIFY(m_Velk->waitSeconds(30));
        m_Velk->start();
        QTRY_COMPARE_WITH_TIMEOUT(m_Velk->connectionState(), VelkListening, 20000);
        QCOMPARE(report(seven), 0);
        QCOMPARE(report(nine), 0);
        QVERIFY(portInUse(seven->audioPort()));
        QVERIFY(portInUse(nine->audioPort()));
        QVERIFY(seven->audioPort() != nine->audioPort());
    }
}

QTEST_GUILESS_MAIN(TestVelkDevice)
#include "tst_velkdevice.moc"
