#include "conversation/conversationthread.h"
#include "conversation/frameclock.h"
#include "conversation/portblocks.h"
#include "conversation/rtpheader.h"
#include "conversation/rtpsequence.h"
#include "testmain.h"

#include <QThread>
#include <QUdpSocket>
#include <QtTest>

#include <memory>

// RTP header parsing, sequence extension, the frame clock and port quadruples.
class TestRtpBasics : public QObject
{
    Q_OBJECT

private:
    // Finds a free range of ports no other test process is likely to use right now.
    static quint16 freeRange(int blocks)
    {
        for (int attempt = 0; attempt < 200; ++attempt) {
            const quint16 base = quint16(20000 + 4 * QRandomGenerator::global()->bounded(8000));
            bool ok = true;
            std::vector<std::unique_ptr<QUdpSocket>> probes;
            for (int i = 0; i < 4 * blocks && ok; ++i) {
                probes.emplace_back(new QUdpSocket);
                ok = probes.back()->bind(QHostAddress::AnyIPv4, quint16(base + i),
                                         QAbstractSocket::DontShareAddress);
            }
            if (ok)
                return base;
        }
        return 0;
    }

private slots:
    void init() { PortBlocks::resetForTest(); }

    void parsesPayloadBounds()
    {
        // Three CSRCs, an extension of two words, 160 bytes of payload and 5 of padding.
        const QByteArray full = QByteArray::fromHex("b3881234") + QByteArray(20, 'c')
            + QByteArray::fromHex("bede0002") + QByteArray(8, 'e') + QByteArray(160, 'p')
            + QByteArray::fromHex("0000000005");
        RtpHeader h;
        QVERIFY(RtpHeader::parse(full, &h));
        QCOMPARE(full.mid(h.payloadOffset, h.payloadLength), QByteArray(160, 'p'));
        QCOMPARE(h.sequence, quint16(0x1234));
        // Every truncation is either refused or yields a payload wholly inside the datagram;
        // malformed headers are refused end to end in tst_conversationmedia.
        for (int len = 0; len <= full.size(); ++len) {
            if (RtpHeader::parse(full.left(len), &h)) {
                QVERIFY(h.payloadOffset >= 12);
                QVERIFY(h.payloadLength >= 0);
                QVERIFY(h.payloadOffset + h.payloadLength <= len);
            }
        }
    }

    void extendsSequenceAcrossWrap()
    {
        RtpSequence s;
        const quint64 first = s.extend(7, 65534);
        QCOMPARE(s.extend(7, 65535), first + 1);
        QCOMPARE(s.extend(7, 0), first + 2);
        QCOMPARE(s.extend(7, 1), first + 3);
        QCOMPARE(s.extend(7, 65535), first + 1); // reordered: lower id, dropped by the buffer
        QCOMPARE(s.extend(7, 3), first + 5); // one packet lost
        QCOMPARE(s.extend(9, 100), first + 6); // new sender: continues upwards
        QCOMPARE(s.extend(9, 40000), first + 7); // jump: re-synchronised, still upwards
        QCOMPARE(s.extend(9, 40001), first + 8);
    }

    void catchUpIsCapped()
    {
        FrameClock clock;
        QCOMPARE(clock.due(), qint64(1));
        clock.produced();
        QThread::msleep(300);
        QCOMPARE(clock.due(), qint64(FrameClock::MaxCatchUp)); // 15 frames late
        clock.produced(FrameClock::MaxCatchUp);
        QVERIFY(clock.due() <= 1);
    }

    void createTakesRotatingQuadruples()
    {
        const quint16 min = freeRange(3);
        QVERIFY(min != 0);
        const quint16 max = quint16(min + 12);
        const auto create = [&](const char *name) {
            return std::unique_ptr<ConversationThread>(
                ConversationThread::create(min, max, 1, false, name, nullptr));
        };
        const auto port = [](const std::unique_ptr<ConversationThread> &c) {
            return c ? int(c->audioRtpPort()) : -1;
        };
        auto one = create("one");
        QCOMPARE(port(one), int(min));
        auto two = create("two");
        QCOMPARE(port(two), min + 4);
        // An ended call's block is free once its sockets are closed, yet the search goes on
        // upwards first and only then starts again from the bottom.
        one.reset();
        QVERIFY(!PortBlocks::isBooked(min));
        auto three = create("three");
        QCOMPARE(port(three), min + 8);
        auto four = create("four");
        QCOMPARE(port(four), int(min));
        QVERIFY(!create("five"));
    }

    void skipsTakenSharedAndMissingPorts()
    {
        const quint16 min = freeRange(2);
        QVERIFY(min != 0);
        // Another program holds the third port of the first block and allows sharing: our
        // socket must not join it, so the whole block is skipped.
        QUdpSocket other;
        QVERIFY(other.bind(QHostAddress::AnyIPv4, quint16(min + 2),
                           QAbstractSocket::ReuseAddressHint | QAbstractSocket::ShareAddress));
        QUdpSocket *s[4];
        QCOMPARE(PortBlocks::allocate(min, quint16(min + 8), s), int(min) + 4);
        // Nobody can take over a live call's port, even when asking to share it.
        QUdpSocket intruder;
        QVERIFY(!intruder.bind(QHostAddress::AnyIPv4, quint16(min + 4),
                               QAbstractSocket::ReuseAddressHint | QAbstractSocket::ShareAddress));
        for (QUdpSocket *x : s)
            delete x;
        // A range above the last block: nothing below its bottom is taken, and 65533..65536
        // does not exist, so nothing may be bound at 65533, 0, 1, ...
        QCOMPARE(PortBlocks::allocate(65533, 65535, s), -1);
        QCOMPARE(PortBlocks::lastBase(), quint16(min + 4));
        QVERIFY(!PortBlocks::isBooked(0));
    }
};

TARNHALL_TEST_MAIN(TestRtpBasics)
#include "tst_rtpbasics.moc"
