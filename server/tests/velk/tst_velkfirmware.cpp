// Firmware upload through a simulated panel's bootloader, with the module on loopback.
#include "core/env.h"
#include "velk/velk.h"
#include "velk/velkdevice.h"
#include "velk/velkfirmware.h"
#include "velkfixture.h"
#include "velkpanel.h"

#include <QtTest>

using Block = QPair<int, int>; // command and byte 21: the block, or 1 on and 0 off
using Reply = VelkPanel::Reply;
Q_DECLARE_METATYPE(Reply)

class TestVelkFirmware : public VelkFixture
{
    Q_OBJECT

private slots:
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
        VelkPanel *p = updatable(hardware);
        QVERIFY(p);
        // A first attempt ends with the device's unregistration; once back it may be updated.
        QVERIFY(device->startFirmwareUpdate().started);
        QVERIFY(reachedPhase(VelkDevice::UpdateWaitBootloader));
        device->changeState(VelkDevice::Unregistered);
        QVERIFY(!device->startFirmwareUpdate().started);
        QCOMPARE(report(p), 0);
        blocks.clear();

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
        QCOMPARE(blocks, expected << Block(VelkProtocol::Bootloader, 0));
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
        QFETCH(int, lastBlock);
        QFETCH(int, status);
        VelkPanel *p = updatable(command ? 1 : 8);
        QVERIFY(p);
        p->setPolicy(command, { reply, value });
        QSignalSpy answers(p, &VelkPanel::answerSent);
        QCOMPARE(device->startFirmwareUpdate().started, command != 0);
        if (command > VelkProtocol::Bootloader) {
            QVERIFY(reachedPhase(VelkDevice::UpdateWaitBootloader));
            QCOMPARE(report(p), 0);
        }
        QTRY_VERIFY_WITH_TIMEOUT(!device->isFirmwareUpdating(), 60000);
        QCOMPARE(blocks.value(blocks.size() - 1), Block(command, lastBlock));
        const QList<Block> atStop = blocks;
        if (reply == Reply::Late)
            QTRY_VERIFY_WITH_TIMEOUT(answers.contains({ command }), 60000);
        QCOMPARE(report(p), 0); // also from the bootloader: no chain starts again
        QCOMPARE(blocks, atStop);
        QCOMPARE(device->firmwareUpdatePhase(), int(VelkDevice::UpdateIdle));
        QCOMPARE(device->status(), status);
    }

private:
    // A registered panel whose bootloader and block requests go into blocks as first received.
    VelkPanel *updatable(quint8 hardware)
    {
        blocks.clear();
        // A whole upload without reports.
        VelkPanel *p = registered({ { "register-timeout", 255 } }, 0, false, hardware);
        if (p) {
            connect(p, &VelkPanel::requestReceived,
                    [this](int command, quint32, int seen, int data) {
                        if (seen == 1 && command >= VelkProtocol::Bootloader
                            && command <= VelkProtocol::WriteBlock)
                            blocks << Block(command, data);
                    });
        }
        return p;
    }
    bool reachedPhase(int phase)
    {
        return QTest::qWaitFor([=] { return device->firmwareUpdatePhase() == phase; }, 20000);
    }

    QList<Block> blocks;
};

QTEST_GUILESS_MAIN(TestVelkFirmware)
#include "tst_velkfirmware.moc"
