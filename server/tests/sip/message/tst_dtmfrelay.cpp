#include "sip/message/dtmfrelaybody.h"
#include "sip/message/sipmessage.h"
#include "testmain.h"

#include <QtTest>

namespace {

const QString kRelay = QStringLiteral("application/dtmf-relay");

} // namespace

class TestDtmfRelay : public QObject
{
    Q_OBJECT

private slots:
    // RFC 4733 section 3.2, table of DTMF named events: 0-9, *, #, A-D, Flash. Each is written
    // and read back as its key; from 10 on the number itself reads as the key too.
    void writer()
    {
        const char keys[] = "0123456789*#abcdf";
        for (int event = 0; event <= 16; ++event) {
            const QByteArray body = dtmfRelayBody(uchar(event), 160);
            QCOMPARE(body, QByteArray("Signal=") + keys[event] + "\r\nDuration=160\r\n");
            char read = 0;
            uint duration = 0;
            QVERIFY(parseDtmfBody(body, kRelay, read, duration));
            QCOMPARE(read, keys[event]);
            QCOMPARE(duration, 160u);
            if (event >= 10) {
                QVERIFY(
                    parseDtmfBody("Signal=" + QByteArray::number(event), kRelay, read, duration));
                QCOMPARE(read, keys[event]);
            }
        }
        // Keys above 31 are characters; other numbers outside the table go as "0" plus them.
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
        const auto row = [](const char *name, const QByteArray &body, bool found, char key,
                            uint duration, const QString &type = kRelay) {
            QTest::newRow(name) << body << type << found << key << duration;
        };
        row("letter", "Signal=A\r\nDuration=300\r\n", true, 'a', 300);
        row("hook flash", "signal=HF\r\n", true, 'f', 250);
        row("spaces, bare LF", " Signal = 7 \n duration = 90 \n", true, '7', 90,
            "Application/DTMF-Relay");
        row("zero duration", "Signal=1\r\nDuration=0\r\n", true, '1', 250);
        row("bad duration", "Signal=1\r\nDuration=abc\r\n", true, '1', 250);
        row("unknown key", "Signal=e\r\nDuration=100\r\n", false, '\0', 100);
        row("later wins", "Signal=1\r\nSignal=x\r\nSignal=2\r\n", true, '2', 250);
        row("two equals", "Signal=1=2\r\n", false, '\0', 250);
        row("other kind", "Signal=5\r\nDuration=100\r\n", false, '\0', 250, "application/dtmf");
        row("nul ends", QByteArray("Signal=5\r\n\0Signal=6\r\n", 21), true, '5', 250);
        row("empty", QByteArray(), false, '\0', 250);
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

        const QByteArray info = "INFO sip:a@192.0.2.1 SIP/2.0\r\nCall-ID: x\r\nCSeq: 3 INFO\r\n"
                                "From: <sip:b@192.0.2.2>;tag=1\r\nContent-Type: "
            + contentType.toUtf8() + "\r\nContent-Length: " + QByteArray::number(body.size())
            + "\r\n\r\n" + body;
        const SipMessage message(SipTransport::UDP, QHostAddress(QStringLiteral("192.0.2.2")), 5060,
                                 QHostAddress(QStringLiteral("192.0.2.1")), 5060, info);
        QVERIFY(message.isValid());
        readKey = 'z';
        QCOMPARE(message.dtmf(readKey, readDuration), found);
        QCOMPARE(readKey, key);
    }
};

TARNHALL_TEST_MAIN(TestDtmfRelay)
#include "tst_dtmfrelay.moc"
