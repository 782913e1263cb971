#include "core/timescale.h"
#include "sip/message/sipmessage.h"
#include "sip/sipexternaladdress.h"

#include <QHostAddress>
#include <QSignalSpy>
#include <QtTest>

class TestSipExternalAddress : public QObject
{
    Q_OBJECT

private slots:
    // Registrations are withdrawn at once and renewed after the pause with the new address;
    // a second report of the address on its way starts no second cycle.
    void changeCycle()
    {
        TimeScale::setFactor(10);
        SipExternalAddress ext;
        ext.reset(SipExternalAddress::Auto, "203.0.113.5");
        QSignalSpy withdrawn(&ext, &SipExternalAddress::withdraw);
        QSignalSpy renewed(&ext, &SipExternalAddress::renew);
        QSignalSpy changed(&ext, &SipExternalAddress::addressChanged);
        ext.setConnection("10.0.0.2");
        QCOMPARE(ext.address(), QStringLiteral("10.0.0.2"));
        QVERIFY(!ext.change("10.0.0.2", { "a" }));

        QVERIFY(ext.change("192.0.2.9", { "a", "b" }));
        QCOMPARE(withdrawn.size(), 2);
        QVERIFY(!ext.change("192.0.2.9", { "a", "b" }));
        QCOMPARE(ext.address(), QStringLiteral("10.0.0.2"));
        QTRY_COMPARE(renewed.size(), 2);
        QCOMPARE(withdrawn.size(), 2);
        QCOMPARE(renewed.at(1).at(0).toString(), QStringLiteral("b"));
        QCOMPARE(changed.last().at(0).toString(), QStringLiteral("192.0.2.9"));
        QCOMPARE(ext.address(), QStringLiteral("192.0.2.9"));

        ext.reset(SipExternalAddress::Static, "203.0.113.5");
        ext.setConnection("10.0.0.2");
        QCOMPARE(ext.address(), QStringLiteral("203.0.113.5"));
    }

    void received_data()
    {
        QTest::addColumn<QString>("params");
        QTest::addColumn<QString>("address"); // empty: none reported
        QTest::addColumn<int>("port");
        QTest::newRow("both") << ";rport=5070;received=192.0.2.7"
                              << "192.0.2.7" << 5070;
        QTest::newRow("empty rport") << ";received=192.0.2.7;rport"
                                     << "192.0.2.7" << 0;
        QTest::newRow("received alone") << ";received=192.0.2.7"
                                        << "" << 0;
        QTest::newRow("rport alone") << ";rport=5070"
                                     << "" << 0;
    }
    void received()
    {
        QFETCH(QString, params);
        QFETCH(QString, address);
        QFETCH(int, port);
        const QByteArray text = "SIP/2.0 200 OK\r\nVia: SIP/2.0/UDP 10.0.0.2:5061;branch=z9hG4bKb"
            + params.toUtf8()
            + "\r\nFrom: <sip:a@s>;tag=1\r\nTo: <sip:a@s>\r\nCall-ID: c\r\nCSeq: 1 "
              "REGISTER\r\nContent-Length: 0\r\n\r\n";
        const SipMessage response(SipTransport::UDP, QHostAddress::LocalHost, 5060,
                                  QHostAddress::LocalHost, 5061, text);
        QVERIFY(response.isValid());
        QString found = "untouched";
        quint16 foundPort = 1;
        QCOMPARE(viaReceivedAddress("z9hG4bKb", response, found, foundPort), !address.isEmpty());
        QCOMPARE(found, address.isEmpty() ? QStringLiteral("untouched") : address);
        QCOMPARE(int(foundPort), address.isEmpty() ? 1 : port);
        QVERIFY(!viaReceivedAddress("z9hG4bKother", response, found, foundPort));
        QCOMPARE(topViaReceivedAddress(response), params.contains("rport") ? address : QString());
    }
};

QTEST_GUILESS_MAIN(TestSipExternalAddress)
#include "tst_sipexternaladdress.moc"
