#include "conversation/conversationthread.h"
#include "conversation/frameclock.h"
#include "conversation/portblocks.h"
#include "conversation/rtpheader.h"
#include "conversation/rtpsequence.h"

#include <QHostAddress>
#include <QThread>
#include <QUdpSocket>
#include <QtTest>

#include <memory>

// RTP header parsing, sequence extension, the frame clock and port quadruples.
class TestRtpBasics : public QObject
{
    Q_OBJECT

private:
    static QByteArray packet(uchar byte0, int csrc, int extWords, int padding, int payload)
    {
        QByteArray p(12, '\0');
        p[0] = char(byte0 | csrc);
        p[1] = char(0x88);
        p[2] = 0x12;
        p[3] = 0x34;
        p.append(QByteArray(4 * csrc, 'c'));
        if (byte0 & 0x10) {
            p.append(char(0xBE)).append(char(0xDE)).append(char(0)).append(char(extWords));
            p.append(QByteArray(4 * extWords, 'e'));
        }
        p.append(QByteArray(payload, 'p'));
        if (padding > 0) {
            p.append(QByteArray(padding - 1, '\0'));
            p.append(char(padding));
        }
        return p;
    }

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
        RtpHeader h;
        const QByteArray plain = packet(0x80, 0, 0, 0, 160);
        QVERIFY(RtpHeader::parse(plain, &h));
        QCOMPARE(h.payloadType, quint8(8));
        QVERIFY(h.marker);
        QCOMPARE(h.sequence, quint16(0x1234));
        QCOMPARE(h.payloadOffset, 12);
        QCOMPARE(h.payloadLength, 160);

        const QByteArray full = packet(0x80 | 0x10 | 0x20, 3, 2, 5, 160);
        QVERIFY(RtpHeader::parse(full, &h));
        QCOMPARE(h.payloadOffset, 12 + 12 + 4 + 8);
        QCOMPARE(h.payloadLength, 160);
        QCOMPARE(full.mid(h.payloadOffset, h.payloadLength), QByteArray(160, 'p'));

        // Every truncation of a packet with CSRCs, extension and padding is either rejected
        // or yields a payload that lies wholly inside the datagram.
        for (int len = 0; len <= full.size(); ++len) {
            const QByteArray cut = full.left(len);
            RtpHeader t;
            if (RtpHeader::parse(cut, &t)) {
                QVERIFY(t.payloadOffset >= 12);
                QVERIFY(t.payloadLength >= 0);
                QVERIFY(t.payloadOffset + t.payloadLength <= len);
            }
        }
        QVERIFY(!RtpHeader::parse(QByteArray(11, '\x80'), &h));
        QVERIFY(!RtpHeader::parse(packet(0x80, 15, 0, 0, 0).left(40), &h));
        QByteArray zeroPad = packet(0x80 | 0x20, 0, 0, 0, 4);
        zeroPad[zeroPad.size() - 1] = 0;
        QVERIFY(!RtpHeader::parse(zeroPad, &h));
        QByteArray hugePad = packet(0x80 | 0x20, 0, 0, 0, 4);
        hugePad[hugePad.size() - 1] = char(200);
        QVERIFY(!RtpHeader::parse(hugePad, &h));
        QByteArray hugeExt = packet(0x80 | 0x10, 0, 1, 0, 0);
        hugeExt[15] = char(0xFF);
        QVERIFY(!RtpHeader::parse(hugeExt, &h));
    }

    void extendsSequenceAcrossWrap()
    {
        RtpSequence s;
        const quint64 first = s.extend(7, 65530);
        quint64 last = first;
        for (int i = 1; i <= 20; ++i) {
            const quint64 id = s.extend(7, quint16(65530 + i));
            QCOMPARE(id, last + 1);
            last = id;
        }
        // The last sequence number was 14 (65550 wrapped).
        QCOMPARE(s.extend(7, 12), last - 2); // reordered: lower id, dropped by the buffer
        QCOMPARE(s.extend(7, 16), last + 2); // one packet lost
        last += 2;
        QCOMPARE(s.extend(9, 100), last + 1); // new sender: continues upwards
        QCOMPARE(s.extend(9, 40000), last + 2); // jump: re-synchronised, still upwards
        QCOMPARE(s.extend(9, 40001), last + 3);
    }

    void catchUpIsCapped()
    {
        FrameClock clock;
        QCOMPARE(clock.due(), qint64(1));
        clock.produced();
        QThread::msleep(300);
        const qint64 due = clock.due();
        QVERIFY(due >= 1);
        QVERIFY(due <= FrameClock::MaxCatchUp);
        clock.produced(due);
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
        auto one = create("one");
        QVERIFY(one);
        QCOMPARE(one->audioRtpPort(), min);
        QCOMPARE(one->videoRtcpPort(), ushort(min + 3));
        auto two = create("two");
        QVERIFY(two);
        QCOMPARE(two->audioRtpPort(), ushort(min + 4));
        // An ended call's block is free once its sockets are closed, yet the search goes on
        // upwards first and only then starts again from the bottom.
        one.reset();
        QVERIFY(!PortBlocks::isBooked(min));
        auto three = create("three");
        QVERIFY(three);
        QCOMPARE(three->audioRtpPort(), ushort(min + 8));
        auto four = create("four");
        QVERIFY(four);
        QCOMPARE(four->audioRtpPort(), min);
        QVERIFY(!create("five"));
    }

    void skipsTakenAndSharedPorts()
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
    }

    void neverWrapsPastTopPort()
    {
        QUdpSocket *s[4];
        // 65533..65536 does not exist: nothing may be bound at 65533, 0, 1, ...
        QCOMPARE(PortBlocks::allocate(65533, 65535, s), -1);
        QCOMPARE(PortBlocks::lastBase(), quint16(0));
        QVERIFY(!PortBlocks::isBooked(0));
    }
};

QTEST_GUILESS_MAIN(TestRtpBasics)
#include "tst_rtpbasics.moc"
