#include "sip/message/sipcontenttype.h"
#include "sip/message/sipheader.h"
#include "sip/message/sipmethod.h"
#include "sip/message/sipsdpaction.h"
#include "sip/message/sipstatus.h"
#include "testmain.h"

#include <QtTest>

class TestSipTables : public QObject
{
    Q_OBJECT

private slots:
    // Every name and code reads back to its own entry; what is not in a table reads as unknown.
    void namesReadBack()
    {
        for (int i = 0; i < SipHeader::Count; ++i)
            QCOMPARE(int(headerType(headerName(SipHeader::Type(i)).toUpper())), i);
        const char compact[] = "imelcfsktv";
        for (const char c : compact) {
            if (c)
                QVERIFY(headerType(QString(QLatin1Char(c))) != SipHeader::Unknown);
        }
        QCOMPARE(headerType(QStringLiteral("I")), SipHeader::CallID);
        for (const QString &name : { QString(), QStringLiteral("X-Custom"), QStringLiteral("x") })
            QCOMPARE(headerType(name), SipHeader::Unknown);
        QCOMPARE(headerName(SipHeader::Type(51)), QString());

        QCOMPARE(methodType(QStringLiteral("update")), SipMethod::Update);
        QCOMPARE(methodName(SipMethod::Type(14)), QString());
        const QList<SipMethod::Type> allowed
            = { SipMethod::Register, SipMethod::Message, SipMethod::Invite, SipMethod::Ack,
                SipMethod::Cancel,   SipMethod::Bye,     SipMethod::Info,   SipMethod::Refer };
        for (int i = -1; i < SipMethod::Count + 1; ++i)
            QCOMPARE(isMethodAllowed(SipMethod::Type(i)), allowed.contains(SipMethod::Type(i)));

        // The status table is in ascending code order.
        for (int i = 0; i < SipStatus::Count; ++i) {
            QCOMPARE(int(statusFromCode(statusCodeText(SipStatus::Type(i)))), i);
            if (i > 0)
                QVERIFY(statusCodeText(SipStatus::Type(i)).toInt()
                        > statusCodeText(SipStatus::Type(i - 1)).toInt());
        }
        for (const QString &code :
             { QString(), QStringLiteral("299"), QStringLiteral(" 200"), QStringLiteral("0200") })
            QCOMPARE(statusFromCode(code), SipStatus::Unknown);
        QCOMPARE(reasonPhrase(statusFromCode(QStringLiteral("504"))),
                 QStringLiteral("Server Time-out"));
        QCOMPARE(statusClass(SipStatus::Type(50)), 6);
        QCOMPARE(statusClass(SipStatus::Unknown), -1);
        QCOMPARE(statusCodeText(SipStatus::Type(51)), QString());

        QCOMPARE(contentKind(QStringLiteral("Application/SDP")), SipContentType::Sdp);
        QCOMPARE(contentKind(QStringLiteral("application/sdp;charset=utf-8")),
                 SipContentType::Unknown);
        QCOMPARE(contentKind(QStringLiteral("message/sipfrag;version=2.0")),
                 SipContentType::SipFrag);
        QCOMPARE(sdpActionName(SipSdpAction::Type(4)), QString());
        QCOMPARE(sdpActionType(QStringLiteral("SendOnly")), SipSdpAction::SendOnly);
        QCOMPARE(sdpActionType(QString()), SipSdpAction::Unknown);
    }
};

TARNHALL_TEST_APPLESS_MAIN(TestSipTables)
#include "tst_siptables.moc"
