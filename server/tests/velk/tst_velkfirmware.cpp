// Firmware upload through a simulated panel's bootloader, with the module on loopback.
#include "core/env.h"
#include "velk/velk.h"
#include "velk/velkdevice.h"
#include "velk/velkfirmware.h"
#include "velkfixture.h"
#include "velkpanel.h"

#include <QtTest>

using Block = QPair<int, int>; // command, block number (1 or 0 for the bootloader)
using Reply = VelkPanel::Reply;
Q_DECLARE_METATYPE(Reply)

class TestVelkFirmware : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void imagesAndVersions_data();
    void imagesAndVersions();
    void uploadWritesVerifiesAndLeaves_data();
    void uploadWritesVerifiesAndLeaves();
    void refusedStartSendsNothing_data();
    void refusedStartSendsNothing();
    void abortedUpdateWritesNothingMore_data();
    void abortedUpdateWritesNothingMore();

private:
    VelkPanel *panel(quint8 hardware);
    void reportFromBootloader(VelkPanel *p);

    VelkFixture f;
    VelkDevice *device = nullptr;
    QList<Block> blocks; // bootloader and block requests as first received
};

void TestVelkFirmware::initTestCase()
{
    Env::initApplication(qPrintable(QCoreApplication::applicationFilePath()));
}

void TestVelkFirmware::init()
{
    f.init();
    blocks.clear();
}

void TestVelkFirmware::cleanup()
{
    QVERIFY(f.cleanup());
}

VelkPanel *TestVelkFirmware::panel(quint8 hardware)
{
    f.writeDevice(9, { { "register-timeout", 255 } }); // through a whole upload without reports
    if (!f.startModule())
        return nullptr;
    device = f.velk->findDevice(9);
    auto *p = new VelkPanel({ 9, "pw12", hardware, 1, 0, 0 }, f.velk);
    connect(p, &VelkPanel::protocolError, [](const QString &e) { QFAIL(qPrintable(e)); });
    connect(p, &VelkPanel::requestReceived, [this](int command, quint32, int seen, int data) {
        if (seen == 1 && command >= VelkProtocol::Bootloader && command <= VelkProtocol::WriteBlock)
            blocks << Block(command, data);
    });
    QSignalSpy answered(p, &VelkPanel::answered);
    p->start(QHostAddress(QHostAddress::LocalHost), f.port, 0);
    return answered.wait(20000) ? p : nullptr;
}

void TestVelkFirmware::reportFromBootloader(VelkPanel *p)
{
    QTRY_COMPARE_WITH_TIMEOUT(device->firmwareUpdatePhase(), int(VelkDevice::UpdateWaitBootloader),
                              30000);
    QVERIFY(p->inBootloader());
    QCOMPARE(f.report(p), 0);
}

void TestVelkFirmware::imagesAndVersions_data()
{
    QTest::addColumn<quint8>("hardware");
    QTest::addColumn<int>("size");
    for (quint8 type : { 1, 2 })
        QTest::addRow("type %d", type) << type << 32768;
    for (quint8 type : { 3, 4, 5, 6, 7 })
        QTest::addRow("type %d", type) << type << 65536;
    for (quint8 type : { 0, 8 })
        QTest::addRow("type %d without image", type) << type << 0;
}

void TestVelkFirmware::imagesAndVersions()
{
    QFETCH(quint8, hardware);
    QFETCH(int, size);
    const QByteArray image = VelkFirmware::image(hardware);
    QCOMPARE(image.size(), size);
    const QString version = size
        ? QStringLiteral("%1.%2").arg(quint8(image.at(size - 2))).arg(quint8(image.at(size - 1)))
        : QStringLiteral("0.0");
    QCOMPARE(VelkFirmware::versionText(VelkFirmware::versionCode(image, hardware)), version);
    // An image of another size has no version.
    QCOMPARE(VelkFirmware::versionCode(image + QByteArray("\x02\x11"), hardware), 0);
    QCOMPARE(VelkFirmware::versionCode(image.left(size - 1), hardware), 0);
}

void TestVelkFirmware::uploadWritesVerifiesAndLeaves_data()
{
    QTest::addColumn<quint8>("hardware");
    QTest::newRow("type 1, 128 blocks") << quint8(1);
    QTest::newRow("type 4, 256 blocks") << quint8(4);
    QTest::newRow("type 7, 256 blocks") << quint8(7);
}

void TestVelkFirmware::uploadWritesVerifiesAndLeaves()
{
    QFETCH(quint8, hardware);
    VelkPanel *p = panel(hardware);
    QVERIFY(p);
    // A first attempt ends with the device's unregistration; it may be updated once back.
    QVERIFY(device->startFirmwareUpdate().started);
    QTRY_COMPARE(device->firmwareUpdatePhase(), int(VelkDevice::UpdateWaitBootloader));
    device->changeState(VelkDevice::Unregistered);
    QCOMPARE(f.report(p), 0);
    QCOMPARE(device->status(), 3);
    blocks.clear();

    // The panel reports from its bootloader while block 1 is written and while it is read.
    connect(p, &VelkPanel::requestReceived, p, [p](int command, quint32, int seen, int data) {
        if (seen == 1 && data == 1 && command != VelkProtocol::Bootloader)
            p->sendReport();
    });
    QList<int> progress;
    connect(p, &VelkPanel::requestReceived, [&](int command, quint32, int seen) {
        if (seen == 1 && command >= VelkProtocol::Bootloader && command <= VelkProtocol::WriteBlock)
            progress << device->firmwareProgress();
    });
    QVERIFY(device->startFirmwareUpdate().started);
    QCOMPARE(device->status(), 4);
    reportFromBootloader(p);
    QSignalSpy applied(p, &VelkPanel::applied); // waits without the sleeps of QTRY
    while (p->inBootloader())
        QVERIFY(applied.wait(30000));
    QCOMPARE(device->firmwareUpdatePhase(), int(VelkDevice::UpdateBootloaderOff));
    QCOMPARE(f.report(p), 0); // from the new firmware
    QVERIFY(!device->isFirmwareUpdating());
    QCOMPARE(device->status(), 1);

    const int last = VelkFirmware::lastBlock(hardware);
    QList<Block> expected { { VelkProtocol::Bootloader, 1 } };
    for (int command : { VelkProtocol::WriteBlock, VelkProtocol::ReadBlock }) {
        for (int block = 0; block <= last; ++block)
            expected << Block(command, block);
    }
    expected << Block(VelkProtocol::Bootloader, 0);
    QCOMPARE(blocks, expected);
    QCOMPARE(p->firmwareImage().left((last + 1) * 256), device->firmwareImage());
    // Shown as it goes: up to 99 while the last block is read back, 100 once it compared.
    QVERIFY(std::is_sorted(progress.cbegin(), progress.cend()));
    QCOMPARE(progress.mid(progress.size() - 2), QList<int>({ 99, 100 }));
    QCOMPARE(device->firmwareProgress(), 100);
}

void TestVelkFirmware::refusedStartSendsNothing_data()
{
    QTest::addColumn<quint8>("hardware");
    QTest::addColumn<bool>("unregistered");
    QTest::addColumn<bool>("running");
    QTest::addColumn<QString>("error");
    QTest::newRow("unregistered") << quint8(1) << true << false << "not registered";
    QTest::newRow("an update runs") << quint8(1) << false << true << "being updated";
    QTest::newRow("type 0 has no image") << quint8(0) << false << false << "no firmware image";
    QTest::newRow("type 8 has no image") << quint8(8) << false << false << "no firmware image";
}

void TestVelkFirmware::refusedStartSendsNothing()
{
    QFETCH(quint8, hardware);
    QFETCH(bool, unregistered);
    QFETCH(bool, running);
    QFETCH(QString, error);
    VelkPanel *p = panel(hardware);
    QVERIFY(p);
    p->setPolicy(VelkProtocol::Bootloader, { Reply::Never, 0 });
    if (unregistered)
        device->changeState(VelkDevice::Unregistered);
    if (running)
        QVERIFY(device->startFirmwareUpdate().started);
    const VelkDevice::FirmwareStart start = device->startFirmwareUpdate();
    QVERIFY(!start.started);
    QVERIFY2(start.error.contains(error), qPrintable(start.error));
    QCOMPARE(f.report(p), 0); // whatever was sent is in by its answer
    QCOMPARE(blocks.size(), running ? 1 : 0);
}

void TestVelkFirmware::abortedUpdateWritesNothingMore_data()
{
    QTest::addColumn<int>("command");
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("lastBlock"); // of the last request; its command is the row's
    QTest::addColumn<int>("status");
    const int on = VelkProtocol::Bootloader, write = VelkProtocol::WriteBlock,
              read = VelkProtocol::ReadBlock;
    QTest::newRow("bootloader refused") << on << Reply::Refuse << 2 << 1 << 1;
    QTest::newRow("write refused") << write << Reply::Refuse << 1 << 0 << 3;
    QTest::newRow("block 5 reads back different") << read << Reply::Corrupt << 5 << 5 << 3;
    QTest::newRow("last block reads back different") << read << Reply::Corrupt << 127 << 127 << 3;
    QTest::newRow("read-back cut short") << read << Reply::Cut << 200 << 0 << 3;
    QTest::newRow("read-back of the next block") << read << Reply::OtherBlock << 1 << 0 << 3;
    // Answered in the grace after the request gave up.
    QTest::newRow("bootloader answer after time-out") << on << Reply::Late << 19500 << 1 << 3;
    QTest::newRow("write answer after time-out") << write << Reply::Late << 19500 << 0 << 3;
    QTest::newRow("read answer after time-out") << read << Reply::Late << 19500 << 0 << 3;
}

void TestVelkFirmware::abortedUpdateWritesNothingMore()
{
    QFETCH(int, command);
    QFETCH(Reply, reply);
    QFETCH(int, value);
    QFETCH(int, lastBlock);
    QFETCH(int, status);
    VelkPanel *p = panel(1);
    QVERIFY(p);
    p->setPolicy(command, { reply, value });
    QSignalSpy answers(p, &VelkPanel::answerSent);
    QVERIFY(device->startFirmwareUpdate().started);
    if (command != VelkProtocol::Bootloader)
        reportFromBootloader(p);
    QTRY_VERIFY_WITH_TIMEOUT(!device->isFirmwareUpdating(), 60000);
    QCOMPARE(blocks.last(), Block(command, lastBlock));
    const QList<Block> atAbort = blocks;
    if (reply == Reply::Late)
        QTRY_VERIFY_WITH_TIMEOUT(answers.contains({ command }), 60000);
    QCOMPARE(f.report(p), 0); // also from the bootloader: no chain starts again
    QCOMPARE(blocks, atAbort);
    QCOMPARE(device->firmwareUpdatePhase(), int(VelkDevice::UpdateIdle));
    QCOMPARE(device->status(), status);
}

QTEST_GUILESS_MAIN(TestVelkFirmware)
#include "tst_velkfirmware.moc"
