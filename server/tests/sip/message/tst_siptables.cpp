#include "sip/message/sipcontenttype.h"
#include "sip/message/sipheader.h"
#include "sip/message/sipmethod.h"
#include "sip/message/sipsdpaction.h"
#include "sip/message/sipstatus.h"

#include <QtTest>

class TestSipTables : public QObject
{
    Q_OBJECT

private slots:
    void headers()
    {
        QCOMPARE(headerType(QStringLiteral("call-id")), SipHeader::CallID);
        QCOMPARE(headerType(QStringLiteral("I")), SipHeader::CallID);
        QCOMPARE(headerType(QStringLiteral("Proxy-Route")), SipHeader::ProxyRoute);
        QCOMPARE(int(SipHeader::ProxyRoute), 32);
        QCOMPARE(headerType(QString()), SipHeader::Unknown);
        QCOMPARE(headerType(QStringLiteral("X-Custom")), SipHeader::Unknown);
        QCOMPARE(headerType(QStringLiteral("x")), SipHeader::Unknown);
        QCOMPARE(headerName(SipHeader::Unknown), QString());
        QCOMPARE(headerName(SipHeader::Type(51)), QString());
        QCOMPARE(headerName(SipHeader::Expires), QStringLiteral("Expires"));
        QCOMPARE(int(SipHeader::Expires), 19);
        QCOMPARE(int(SipHeader::Event), 20);
        QCOMPARE(headerName(SipHeader::WWWAuthenticate), QStringLiteral("WWW-Authenticate"));
        QCOMPARE(int(SipHeader::Warning), 50);
        // Every name maps back to its own number.
        for (int i = 0; i < SipHeader::Count; ++i)
            QCOMPARE(int(headerType(headerName(SipHeader::Type(i)).toUpper())), i);
        const char compact[] = "imelcfsktv";
        const SipHeader::Type types[] = { SipHeader::CallID,
                                          SipHeader::Contact,
                                          SipHeader::ContentEncoding,
                                          SipHeader::ContentLength,
                                          SipHeader::ContentType,
                                          SipHeader::From,
                                          SipHeader::Subject,
                                          SipHeader::Supported,
                                          SipHeader::To,
                                          SipHeader::Via };
        for (int i = 0; i < 10; ++i)
            QCOMPARE(headerType(QString(QLatin1Char(compact[i]))), types[i]);
    }

    void methods()
    {
        QCOMPARE(methodType(QStringLiteral("Invite")), SipMethod::Invite);
        QCOMPARE(methodType(QStringLiteral("update")), SipMethod::Update);
        QCOMPARE(methodType(QString()), SipMethod::Unknown);
        QCOMPARE(methodName(SipMethod::Type(14)), QString());
        const QList<SipMethod::Type> allowed
            = { SipMethod::Register, SipMethod::Message, SipMethod::Invite, SipMethod::Ack,
                SipMethod::Cancel,   SipMethod::Bye,     SipMethod::Info,   SipMethod::Refer };
        for (int i = -1; i < SipMethod::Count + 1; ++i)
            QCOMPARE(isMethodAllowed(SipMethod::Type(i)), allowed.contains(SipMethod::Type(i)));
    }

    void statuses()
    {
        QCOMPARE(statusFromCode(QStringLiteral("486")), SipStatus::BusyHere);
        QCOMPARE(int(SipStatus::BusyHere), 35);
        QCOMPARE(reasonPhrase(SipStatus::BusyHere), QStringLiteral("Busy Here"));
        QCOMPARE(statusFromCode(QStringLiteral("299")), SipStatus::Unknown);
        QCOMPARE(statusFromCode(QStringLiteral(" 200")), SipStatus::Unknown);
        QCOMPARE(statusFromCode(QStringLiteral("0200")), SipStatus::Unknown);
        QCOMPARE(statusFromCode(QString()), SipStatus::Unknown);
        QCOMPARE(reasonPhrase(statusFromCode(QStringLiteral("406"))),
                 reasonPhrase(statusFromCode(QStringLiteral("606"))));
        QCOMPARE(reasonPhrase(statusFromCode(QStringLiteral("504"))),
                 QStringLiteral("Server Time-out"));
        QCOMPARE(reasonPhrase(statusFromCode(QStringLiteral("408"))),
                 QStringLiteral("Request Timeout"));
        QCOMPARE(statusClass(SipStatus::Type(0)), 1);
        QCOMPARE(statusClass(SipStatus::Type(5)), 2);
        QCOMPARE(statusClass(SipStatus::Type(50)), 6);
        QCOMPARE(statusClass(SipStatus::Unknown), -1);
        QCOMPARE(statusCodeText(SipStatus::Type(51)), QString());
        // The table is in ascending code order and each code reads back to its index.
        for (int i = 0; i < SipStatus::Count; ++i) {
            QCOMPARE(int(statusFromCode(statusCodeText(SipStatus::Type(i)))), i);
            if (i > 0)
                QVERIFY(statusCodeText(SipStatus::Type(i)).toInt()
                        > statusCodeText(SipStatus::Type(i - 1)).toInt());
        }
    }

    void contentKindsAndDirections()
    {
        QCOMPARE(contentKind(QStringLiteral("Application/SDP")), SipContentType::Sdp);
        QCOMPARE(contentKind(QStringLiteral("application/sdp;charset=utf-8")),
                 SipContentType::Unknown);
        QCOMPARE(contentKind(QStringLiteral("message/sipfrag")), SipContentType::Unknown);
        QCOMPARE(contentKind(QStringLiteral("message/sipfrag;version=2.0")),
                 SipContentType::SipFrag);
        QCOMPARE(sdpActionName(SipSdpAction::Type(4)), QString());
        QCOMPARE(sdpActionType(QStringLiteral("SendOnly")), SipSdpAction::SendOnly);
        QCOMPARE(sdpActionType(QString()), SipSdpAction::Unknown);
    }
};

QTEST_APPLESS_MAIN(TestSipTables)
#include "tst_siptables.moc"
