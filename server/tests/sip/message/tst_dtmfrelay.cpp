#include "sip/message/dtmfrelaybody.h"
#include "sip/message/sipmessage.h"

#include <QtTest>

namespace {

const QString kRelay = QStringLiteral("application/dtmf-relay");

} // namespace

class TestDtmfRelay : public QObject
{
    Q_OBJECT

private slots:
    // RFC 4733 section 3.2, table of DTMF named events: 0-9, *, #, A-D, Flash.
    void rfc4733EventTable_data()
    {
        QTest::addColumn<int>("event");
        QTest::addColumn<char>("key");
        const char keys[] = "0123456789*#abcdf";
        for (int event = 0; event <= 16; ++event)
            QTest::addRow("event %d", event) << event << keys[event];
    }

    void rfc4733EventTable()
    {
        QFETCH(int, event);
        QFETCH(char, key);
        const QByteArray body = dtmfRelayBody(uchar(event), 160);
        QCOMPARE(body, QByteArray("Signal=") + key + "\r\nDuration=160\r\n");

        // The number itself is read back as the same key where the number form is allowed.
        char read = 0;
        uint duration = 0;
        QVERIFY(parseDtmfBody(body, kRelay, read, duration));
        QCOMPARE(read, key);
        QCOMPARE(duration, 160u);
        if (event >= 10) {
            QVERIFY(parseDtmfBody(QByteArray("Signal=") + QByteArray::number(event) + "\r\n",
                                  kRelay, read, duration));
            QCOMPARE(read, key);
            QCOMPARE(duration, 250u);
        }
    }

    void writerKeys()
    {
        QCOMPARE(dtmfRelayBody('5', 250), QByteArray("Signal=5\r\nDuration=250\r\n"));
        QCOMPARE(dtmfRelayBody('#', 100), QByteArray("Signal=#\r\nDuration=100\r\n"));
        QCOMPARE(dtmfRelayBody(20, 100), QByteArray("Signal=D\r\nDuration=100\r\n"));
    }

    void reader_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("contentType");
        QTest::addColumn<bool>("found");
        QTest::addColumn<char>("key");
        QTest::addColumn<uint>("duration");

        QTest::newRow("letter") << QByteArray("Signal=A\r\nDuration=300\r\n") << kRelay << true
                                << 'a' << 300u;
        QTest::newRow("hook flash") << QByteArray("signal=HF\r\n") << kRelay << true << 'f' << 250u;
        QTest::newRow("spaces, bare LF")
            << QByteArray(" Signal = 7 \n duration = 90 \n")
            << QStringLiteral("Application/DTMF-Relay") << true << '7' << 90u;
        QTest::newRow("zero duration")
            << QByteArray("Signal=1\r\nDuration=0\r\n") << kRelay << true << '1' << 250u;
        QTest::newRow("bad duration")
            << QByteArray("Signal=1\r\nDuration=abc\r\n") << kRelay << true << '1' << 250u;
        QTest::newRow("unknown key")
            << QByteArray("Signal=e\r\nDuration=100\r\n") << kRelay << false << '\0' << 100u;
        QTest::newRow("later wins")
            << QByteArray("Signal=1\r\nSignal=x\r\nSignal=2\r\n") << kRelay << true << '2' << 250u;
        QTest::newRow("two equals")
            << QByteArray("Signal=1=2\r\n") << kRelay << false << '\0' << 250u;
        QTest::newRow("other kind") << QByteArray("Signal=5\r\nDuration=100\r\n")
                                    << QStringLiteral("application/dtmf") << false << '\0' << 250u;
        QTest::newRow("nul ends") << QByteArray("Signal=5\r\n\0Signal=6\r\n", 21) << kRelay << true
                                  << '5' << 250u;
        QTest::newRow("empty") << QByteArray() << kRelay << false << '\0' << 250u;
    }

    void reader()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, contentType);
        QFETCH(bool, found);
        QFETCH(char, key);
        QFETCH(uint, duration);
        char readKey = 'z';
        uint readDuration = 1;
        QCOMPARE(parseDtmfBody(body, contentType, readKey, readDuration), found);
        QCOMPARE(readKey, key);
        QCOMPARE(readDuration, duration);
    }

    void messageBody()
    {
        const QByteArray datagram = "INFO sip:a@192.0.2.1 SIP/2.0\r\nCall-ID: x\r\n"
                                    "CSeq: 3 INFO\r\nFrom: <sip:b@192.0.2.2>;tag=1\r\n"
                                    "Content-Type: application/dtmf-relay\r\n"
                                    "Content-Length: 26\r\n\r\nSignal=*\r\nDuration=120\r\n";
        const SipMessage info(SipTransport::UDP, QHostAddress(QStringLiteral("192.0.2.2")), 5060,
                              QHostAddress(QStringLiteral("192.0.2.1")), 5060, datagram);
        QVERIFY(info.isValid());
        char key = 0;
        uint duration = 0;
        QVERIFY(info.dtmf(key, duration));
        QCOMPARE(key, '*');
        QCOMPARE(duration, 120u);
    }
};

QTEST_GUILESS_MAIN(TestDtmfRelay)
#include "tst_dtmfrelay.moc"
