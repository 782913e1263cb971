#include "../../toolkit.h"
#include "common/codecs/audiocodec.h"
#include "sip/message/sdpbody.h"
#include "sip/message/sipmessage.h"
#include "sip/sipuser.h"
#include "sip/sipusersetting.h"
#include "testmain.h"

#include <QHostAddress>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

// Stands in for the engine module: users whose parent is a Sip advertise its address.
class Sip : public QObject
{
    Q_OBJECT
};

namespace {

const QString kAllow = QStringLiteral("REGISTER, MESSAGE, INVITE, ACK, CANCEL, BYE, INFO, REFER");

const QStringList kFields
    = QStringLiteral(
          "sip.Method sip.r-uri sip.Call-ID sip.CSeq sip.Via.branch sip.contact.uri sip.from.tag "
          "sip.to.tag sip.Content-Type sdp.media.port sdp.media.format sdp.connection_info.address "
          "sdp.media_attr sip.Route")
          .split(QLatin1Char(' '));

bool tsharkAvailable()
{
    return !QStandardPaths::findExecutable(QStringLiteral("tshark")).isEmpty()
        && !QStandardPaths::findExecutable(QStringLiteral("text2pcap")).isEmpty();
}

// Wireshark's reading of one datagram, wrapped by text2pcap as UDP between two 5060 ports: the
// fields of kFields (occurrences joined with "|"), and its expert lines at note level and above
// (malformed packets among them), empty for a clean packet.
struct TsharkReading
{
    QMap<QString, QString> fields;
    QString problems;
    QString error;
};

TsharkReading tshark(const QByteArray &datagram)
{
    TsharkReading reading;
    QByteArray dump;
    for (int offset = 0; offset < datagram.size(); offset += 16) {
        dump += QByteArray::number(offset, 16).rightJustified(6, '0');
        for (int i = offset; i < qMin(offset + 16, datagram.size()); ++i)
            dump += ' ' + QByteArray::number(uchar(datagram.at(i)), 16).rightJustified(2, '0');
        dump += '\n';
    }
    QTemporaryDir dir;
    const QString text = dir.filePath(QStringLiteral("packet.txt"));
    const QString pcap = dir.filePath(QStringLiteral("packet.pcap"));
    QStringList arguments { "-r", pcap,           "-T", "fields",       "-E", "occurrence=a",
                            "-E", "aggregator=|", "-E", "separator=/t", "-z", "expert,note" };
    for (const QString &field : kFields)
        arguments << QStringLiteral("-e") << field;
    QByteArray output;
    if (!writeFile(text, dump)
        || !runTool(QStringLiteral("text2pcap"), { "-q", "-u", "5060,5060", text, pcap },
                    &reading.error)
        || !runTool(QStringLiteral("tshark"), arguments, &reading.error, &output))
        return reading;
    // The packet's line (a leading empty field must survive), then the expert summary with a
    // section per severity ("Errors (1)", "Warns (2)", "Notes (1)").
    QList<QByteArray> lines = output.split('\n');
    const QList<QByteArray> values = lines.takeFirst().split('\t');
    for (int i = 0; i < kFields.size(); ++i)
        reading.fields.insert(kFields.at(i), QString::fromUtf8(values.value(i)));
    for (const QByteArray &line : lines) {
        if (!line.trimmed().isEmpty() && !line.startsWith('=') && !line.startsWith('-'))
            reading.problems += QString::fromUtf8(line) + QLatin1Char('\n');
    }
    return reading;
}

SipMessage received(const QByteArray &text, const QString &from, quint16 fromPort,
                    const QString &to, quint16 toPort,
                    SipTransport::Type transport = SipTransport::UDP)
{
    QByteArray datagram = text;
    datagram.replace("\n", "\r\n");
    return SipMessage(transport, QHostAddress(from), fromPort, QHostAddress(to), toPort, datagram);
}

// An INVITE of a call that the outside server delivered to the door account.
SipMessage serverInvite()
{
    return received("INVITE sip:door1@192.0.2.1:5061 SIP/2.0\n"
                    "Via: SIP/2.0/UDP 192.0.2.50:5070;branch=z9hG4bKpeer1;rport\n"
                    "Record-Route: <sip:192.0.2.50:5070;lr>\nRecord-Route: <sip:192.0.2.51;lr>\n"
                    "From: \"Bob\" <sip:bob@example.org>;tag=fromtag1\n"
                    "To: <sip:door1@example.org>;tag=totag1\n"
                    "Call-ID: call-1@192.0.2.50\nCSeq: 10 INVITE\n"
                    "Contact: <sip:bob@192.0.2.60:5080>\n"
                    "Authorization: Digest username=\"bob\", realm=\"example.org\", nonce=\"n1\", "
                    "uri=\"sip:door1@example.org\", response=\"0123456789abcdef0123456789abcdef\"\n"
                    "Max-Forwards: 69\nContent-Length: 0\n\n",
                    QStringLiteral("192.0.2.50"), 5070, QStringLiteral("192.0.2.1"), 5061);
}

// An INVITE a local phone sent to the standalone server.
SipMessage phoneInvite()
{
    return received("INVITE sip:alice@192.0.2.1 SIP/2.0\n"
                    "Via: SIP/2.0/TCP 192.0.2.31:5063;branch=z9hG4bKbob1;rport\n"
                    "From: \"Bob B\" <sip:bob@192.0.2.1>;tag=bobtag\n"
                    "To: <sip:alice@192.0.2.1>;tag=alicetag\n"
                    "Call-ID: bobcall\nCSeq: 1 INVITE\n"
                    "Contact: <sip:bob@192.0.2.31:5063;transport=tcp>\nContent-Length: 0\n\n",
                    QStringLiteral("192.0.2.31"), 5063, QStringLiteral("192.0.2.1"), 5060,
                    SipTransport::TCP);
}

QByteArray sdpOffer()
{
    return buildSdp(QStringLiteral("192.0.2.1"), 40000, QStringLiteral("192.0.2.1"), 40001,
                    SipSdpAction::SendRecv, 65535, 255, true, 96, QStringLiteral("H264/90000"),
                    QStringLiteral("packetization-mode=1"), 40002, 40003, SipSdpAction::SendOnly);
}

} // namespace

class TestSipRequests : public QObject
{
    Q_OBJECT

private:
    Sip m_Sip;
    SipUser *m_Door = nullptr;
    SipUser *m_Alice = nullptr;
    SipUser *m_Bob = nullptr;

    // Has Wireshark read the request and check that it sees what the message holds.
    void checkWithTshark(const SipMessage &message, QMap<QString, QString> *read = nullptr)
    {
        if (!tsharkAvailable())
            QSKIP("tshark and text2pcap are needed");
        const QByteArray bytes = message.toByteArray();
        QVERIFY(!bytes.isEmpty());
        const TsharkReading reading = tshark(bytes);
        QVERIFY2(reading.error.isEmpty(), qPrintable(reading.error));
        QVERIFY2(reading.problems.isEmpty(), qPrintable(reading.problems + bytes));
        const QMap<QString, QString> &fields = reading.fields;
        QCOMPARE(fields.value("sip.Method"), methodName(message.startLine.method));
        QCOMPARE(fields.value("sip.r-uri"), message.startLine.requestUri.toString());
        QCOMPARE(fields.value("sip.Call-ID"), message.callId());
        QCOMPARE(fields.value("sip.CSeq"), message.headerValue(SipHeader::CSeq));
        QCOMPARE(fields.value("sip.Via.branch"), message.branch());
        QCOMPARE(fields.value("sip.contact.uri"), message.contact().address.toString());
        QCOMPARE(fields.value("sip.from.tag"), message.fromTag());
        QCOMPARE(fields.value("sip.to.tag"), message.toTag());
        QCOMPARE(fields.value("sip.Content-Type"), message.contentType());
        QCOMPARE(fields.value("sip.Route"),
                 message.headerValues(SipHeader::Route).join(QLatin1Char('|')));
        if (message.contentType() == QLatin1String("application/sdp")) {
            uchar payload, event;
            QHostAddress rtp, rtcp;
            quint16 rtpPort, rtcpPort;
            SipSdpAction::Type direction;
            parseSdpAudio(message.body, payload, rtp, rtpPort, rtcp, rtcpPort, direction, event);
            QCOMPARE(fields.value("sdp.connection_info.address"), rtp.toString());
            QCOMPARE(fields.value("sdp.media.port").section('|', 0, 0), QString::number(rtpPort));
        }
        if (read)
            *read = fields;
    }

private slots:
    void initTestCase()
    {
        AudioCodec::setCodecs({ "8", "0" });
        m_Door = new SipUser(QStringLiteral("door1"), 0, &m_Sip);
        m_Alice = new SipUser(QStringLiteral("alice"), 0, &m_Sip);
        m_Bob = new SipUser(QStringLiteral("bob"), 0, &m_Sip);
    }

    void init()
    {
        SipUser::m_IsStandalone = false;
        m_Sip.setProperty("localAddress", QVariant());
        for (SipUser *user : { m_Door, m_Alice, m_Bob }) {
            for (const char *name : { "display-name", "sip-rtp-timeout", "sip-server-expires",
                                      "sip-standalone-expires" })
                user->setProperty(name, QVariant());
            user->m_ContactUser = user->objectName();
            user->m_ContactParameters.clear();
            user->m_GrantedExpires = 0;
        }
        m_Door->initServerConnection(SipTransport::UDP, QStringLiteral("192.0.2.50"), 5070,
                                     QStringLiteral("192.0.2.1"), 5061);
        // Two phones registered with the standalone server at 192.0.2.1.
        m_Alice->registerContact(SipTransport::UDP, QStringLiteral("alice-phone"),
                                 QStringLiteral("line=1"), QStringLiteral("reg1"),
                                 QStringLiteral("192.0.2.1"), 0, QStringLiteral("192.0.2.30"),
                                 5062);
        m_Bob->registerContact(SipTransport::TCP, QStringLiteral("bob"), QString(),
                               QStringLiteral("reg2"), QStringLiteral("192.0.2.1"), 5060,
                               QStringLiteral("192.0.2.31"), 5063);
    }

    // The check itself must see a broken message as broken.
    void tsharkSeesBrokenMessages()
    {
        if (!tsharkAvailable())
            QSKIP("tshark and text2pcap are needed");
        SipMessage invite(m_Door, QStringLiteral("2001"), sdpOffer());
        // An owner line cut after its address type.
        invite.body = invite.body.left(20);
        const TsharkReading reading = tshark(invite.toByteArray());
        QVERIFY2(reading.error.isEmpty(), qPrintable(reading.error));
        QVERIFY(!reading.problems.isEmpty());
    }

    void userSettingsAndExpiry()
    {
        QCOMPARE(userSetting(m_Door, SipUserSetting::Type(18)), QString());
        QCOMPARE(userSettingFromName(QStringLiteral("Display-Name")), SipUserSetting::DisplayName);
        QCOMPARE(userSettingFromName(QString()), SipUserSetting::Unknown);
        m_Door->setProperty("sip-rtp-timeout", "abc");
        QCOMPARE(userSettingNumber(m_Door, SipUserSetting::SipRtpTimeout), quint64(0));

        m_Door->setProperty("sip-server-expires", "3600");
        QCOMPARE(m_Door->expires(), quint64(3600));
        m_Door->m_GrantedExpires = 120;
        QCOMPARE(m_Door->expires(), quint64(120));
        SipUser::m_IsStandalone = true;
        m_Door->setProperty("sip-standalone-expires", "-5");
        QCOMPARE(m_Door->expires(), quint64(0));
    }

    void localAddressAndContact()
    {
        QCOMPARE(m_Door->localAddress(), QStringLiteral("192.0.2.1"));
        m_Sip.setProperty("localAddress", QStringLiteral("198.51.100.7"));
        QCOMPARE(m_Door->localAddress(), QStringLiteral("198.51.100.7"));
        SipUser orphan(QStringLiteral("orphan"));
        orphan.initServerConnection(SipTransport::UDP, QStringLiteral("192.0.2.50"), 0,
                                    QStringLiteral("192.0.2.9"), 0);
        QCOMPARE(orphan.localAddress(), QStringLiteral("192.0.2.9"));

        SipMessage message(SipMethod::Options, SipTransport::UDP);
        message.setContact(static_cast<SipUser *>(nullptr));
        QVERIFY(message.headerValues(SipHeader::Contact).isEmpty());
        message.setContact(m_Door);
        QCOMPARE(message.headerValue(SipHeader::Contact),
                 QStringLiteral("<sip:door1@192.0.2.50:5070>"));
    }

    void gatewayRegister()
    {
        const quint32 before = SipMessage::SequenceID;
        const SipMessage first(m_Door);
        const SipMessage second(m_Door);
        QCOMPARE(SipMessage::SequenceID, before + 4);
        QCOMPARE(first.cseqNumber(), before + 1);
        QVERIFY(first.callId() != second.callId() && first.fromTag() != second.fromTag());
        QCOMPARE(first.headerValue(SipHeader::To), QStringLiteral("<sip:door1@192.0.2.50:5070>"));
        QCOMPARE(first.headerValue(SipHeader::Contact),
                 QStringLiteral("<sip:door1@192.0.2.1:5061>"));
        QCOMPARE(first.headerValue(SipHeader::Expires), QStringLiteral("60"));
        QCOMPARE(first.headerValue(SipHeader::Allow), kAllow);
        QVERIFY(first.headerValue(SipHeader::Via)
                    .startsWith(QStringLiteral("SIP/2.0/UDP 192.0.2.1:5061;")));
        QVERIFY(first.topVia().sentBy.parameters.hasParam(QStringLiteral("rport")));
        QCOMPARE(first.receiverPort, quint16(5061));
        checkWithTshark(first);

        // Over TCP, with a display name and an address the engine advertises.
        m_Door->setProperty("display-name", "Front Door");
        m_Sip.setProperty("localAddress", QStringLiteral("198.51.100.7"));
        m_Door->initServerConnection(SipTransport::TCP, QStringLiteral("192.0.2.50"), 0,
                                     QStringLiteral("192.0.2.1"), 0);
        const SipMessage tcp(m_Door);
        QCOMPARE(tcp.headerValue(SipHeader::Contact),
                 QStringLiteral("\"Front Door\" <sip:door1@198.51.100.7;transport=TCP>"));
        QVERIFY(tcp.headerValue(SipHeader::From)
                    .startsWith(QStringLiteral("\"Front Door\" <sip:door1@192.0.2.50>;tag=")));
        QCOMPARE(tcp.senderPort, quint16(5060));
        QVERIFY(
            tcp.headerValue(SipHeader::Via).startsWith(QStringLiteral("SIP/2.0/TCP 192.0.2.1;")));
        checkWithTshark(tcp);

        const quint32 after = SipMessage::SequenceID;
        QVERIFY(!SipMessage(static_cast<SipUser *>(nullptr)).isValid());
        QCOMPARE(SipMessage::SequenceID, after);
    }

    void gatewayInvite()
    {
        const QByteArray sdp = sdpOffer();
        const SipMessage invite(m_Door, QStringLiteral("2001"), sdp);
        QCOMPARE(invite.headerValue(SipHeader::To), QStringLiteral("<sip:2001@192.0.2.50:5070>"));
        QCOMPARE(invite.contentLength(), uint(sdp.size()));
        QMap<QString, QString> fields;
        checkWithTshark(invite, &fields);
        if (QTest::currentTestFailed() || fields.isEmpty())
            return;
        QCOMPARE(fields.value("sdp.media.port"), QStringLiteral("40000|40002"));
        const QString formats = fields.value("sdp.media.format");
        QVERIFY2(formats.startsWith("ITU-T G.711 PCMA|ITU-T G.711 PCMU|DynamicRTP-Type-101|"),
                 qPrintable(formats));
        QVERIFY2(formats.contains("DynamicRTP-Type-96"), qPrintable(formats));
        QVERIFY2(fields.value("sdp.media_attr").contains("sendonly"),
                 qPrintable(fields.value("sdp.media_attr")));

        QVERIFY(SipMessage(m_Door, QString(), sdp).toByteArray().isEmpty());
    }

    void gatewayGeneric()
    {
        const SipMessage ack(SipMethod::Ack, m_Door, QStringLiteral("2001"), QString(),
                             QByteArray());
        QVERIFY(ack.headerValues(SipHeader::Allow).isEmpty());
        QVERIFY(ack.headerValues(SipHeader::Contact).isEmpty());
        const SipMessage message(SipMethod::Message, m_Door, QStringLiteral("2001"),
                                 QStringLiteral("text/plain"), "hello");
        QCOMPARE(message.headerValue(SipHeader::Allow), kAllow);
        QCOMPARE(message.contentType(), QStringLiteral("text/plain"));
        QCOMPARE(message.headerValue(SipHeader::ContentLength), QStringLiteral("5"));
        checkWithTshark(message);
    }

    void gatewayByeFromCaller()
    {
        const SipMessage invite = serverInvite();
        QVERIFY(invite.isValid());
        m_Sip.setProperty("localAddress", QStringLiteral("198.51.100.7"));
        const SipMessage bye(invite, QStringLiteral("bob"), m_Door);
        QCOMPARE(bye.headerValue(SipHeader::From), invite.headerValue(SipHeader::To));
        QCOMPARE(bye.headerValue(SipHeader::Contact),
                 QStringLiteral("<sip:door1@198.51.100.7:5061>"));
        QCOMPARE(bye.startLine.requestUri.toString(), QStringLiteral("sip:bob@192.0.2.60:5080"));
        QCOMPARE(bye.receiverAddress, QStringLiteral("192.0.2.1"));
        QVERIFY(bye.headerValue(SipHeader::Via).startsWith("SIP/2.0/UDP 192.0.2.1:5061;"));
        QVERIFY(bye.branch() != invite.branch());
        checkWithTshark(bye);

        SipMessage answered = invite;
        answered.dialogHeaders.insert(SipHeader::Contact, { "<sip:bob@192.0.2.60:5080>" });
        const SipMessage callee(answered, QStringLiteral("door1"), nullptr);
        QCOMPARE(callee.headerValue(SipHeader::From), invite.headerValue(SipHeader::From));
        QCOMPARE(callee.headerValue(SipHeader::Contact),
                 QStringLiteral("<sip:bob@192.0.2.1:5061>"));
        QCOMPARE(callee.receiverPort, quint16(5070));
        QVERIFY(callee.headerValue(SipHeader::Via).startsWith("SIP/2.0/UDP 192.0.2.1:5061;"));
        checkWithTshark(callee);
    }

    void gatewayInfo()
    {
        const SipMessage invite = serverInvite();
        const SipMessage towardCaller(invite, QStringLiteral("bob"), 11, 200);
        QCOMPARE(towardCaller.headerValues(SipHeader::Authorization),
                 invite.headerValues(SipHeader::Authorization));
        QCOMPARE(towardCaller.body, QByteArray("Signal=#\r\nDuration=200\r\n"));
        QCOMPARE(towardCaller.receiverAddress, QStringLiteral("192.0.2.50"));
        checkWithTshark(towardCaller);

        const SipMessage towardCallee(invite, QStringLiteral("door1"), '5', 250);
        QCOMPARE(towardCallee.receiverAddress, QStringLiteral("192.0.2.1"));
        QCOMPARE(towardCallee.headerValue(SipHeader::From), invite.headerValue(SipHeader::From));
        for (const SipMessage &info : { towardCaller, towardCallee })
            QVERIFY(info.headerValue(SipHeader::Via).startsWith("SIP/2.0/UDP 192.0.2.1:5061;"));
        checkWithTshark(towardCallee);
    }

    void standaloneInvite()
    {
        SipUser::m_IsStandalone = true;
        m_Alice->setProperty("display-name", "Alice A");
        m_Bob->setProperty("display-name", "Bob B");
        const SipMessage invite(m_Bob, m_Alice, sdpOffer());
        QCOMPARE(invite.headerValue(SipHeader::To),
                 QStringLiteral("\"Alice A\" <sip:alice-phone@192.0.2.30:5062;line=1>"));
        QVERIFY(invite.headerValue(SipHeader::From)
                    .startsWith(QStringLiteral("\"Bob B\" <sip:bob@192.0.2.1>;tag=")));
        QCOMPARE(invite.headerValue(SipHeader::Contact),
                 QStringLiteral("\"Bob B\" <sip:bob@192.0.2.1>"));
        QCOMPARE(invite.supported(), QStringLiteral("replaces, timer"));
        QCOMPARE(invite.receiverPort, quint16(5062));
        QVERIFY(invite.headerValue(SipHeader::Via).startsWith("SIP/2.0/UDP 192.0.2.1;"));
        checkWithTshark(invite);

        QVERIFY(!SipMessage(m_Bob, nullptr, sdpOffer()).isValid());
        QVERIFY(!SipMessage(nullptr, m_Alice, sdpOffer()).isValid());
        const SipMessage message(SipMethod::Message, m_Bob, m_Alice, QString(), "hi");
        QVERIFY(message.headerValues(SipHeader::ContentType).isEmpty());
        QCOMPARE(message.body, QByteArray("hi"));
    }

    void standaloneNotify()
    {
        const SipMessage refer
            = received("REFER sip:alice@192.0.2.1 SIP/2.0\n"
                       "Via: SIP/2.0/UDP 192.0.2.31:5063;branch=z9hG4bKref1;rport\n"
                       "Route: <sip:192.0.2.40;lr>\n"
                       "From: <sip:bob@192.0.2.1>;tag=refer-from\n"
                       "To: <sip:alice@192.0.2.1>;tag=refer-to\n"
                       "Call-ID: refercall\nCSeq: 5 REFER\nRefer-To: <sip:carol@192.0.2.1>\n"
                       "Content-Length: 0\n\n",
                       QStringLiteral("192.0.2.31"), 5063, QStringLiteral("192.0.2.1"), 5060);
        QVERIFY(refer.isValid());
        const SipMessage ringing(m_Alice, m_Bob, refer, SipStatus::Ringing);
        QCOMPARE(ringing.subscriptionState(), QStringLiteral("active;expires=32"));
        QCOMPARE(ringing.event(), QStringLiteral("refer"));
        QCOMPARE(ringing.body, QByteArray("SIP/2.0 180 Ringing\r\n"));
        QCOMPARE(ringing.from().parameters.param("tag"), QStringLiteral("refer-to"));
        QCOMPARE(ringing.headerValues(SipHeader::Route), QStringList { "<sip:192.0.2.40;lr>" });
        QCOMPARE(ringing.contact().address.user, QStringLiteral("alice"));
        checkWithTshark(ringing);

        const SipMessage ok(m_Alice, m_Bob, refer, SipStatus::OK);
        QCOMPARE(ok.subscriptionState(), QStringLiteral("terminated;reason=noresource"));
        QCOMPARE(ok.body, QByteArray("SIP/2.0 200 OK\r\n"));
        checkWithTshark(ok);

        SipMessage untagged = refer;
        untagged.setHeader(SipHeader::To, QStringLiteral("<sip:alice@192.0.2.1>"));
        const SipMessage notify(m_Alice, m_Bob, untagged, SipStatus::BusyHere);
        QVERIFY(!notify.from().parameters.hasParam("tag"));
        QVERIFY(notify.headerValues(SipHeader::Route).size() == 1);
        QVERIFY(!SipMessage(nullptr, m_Bob, refer, SipStatus::OK).isValid());
    }

    void standaloneByeCopyForm()
    {
        const SipMessage invite(m_Bob, m_Alice, sdpOffer());
        for (SipUser *user : { static_cast<SipUser *>(nullptr), m_Alice }) {
            const SipMessage bye(invite, user);
            QCOMPARE(bye.headerValues(SipHeader::To), invite.headerValues(SipHeader::To));
            QCOMPARE(bye.headerValues(SipHeader::Via).size(), 1);
            QVERIFY(bye.branch() != invite.branch());
            QCOMPARE(bye.cseqMethod(), SipMethod::Bye);
            checkWithTshark(bye);
        }
    }

    void standaloneUserForm()
    {
        m_Bob->setProperty("display-name", "Bob B");
        const SipMessage invite = phoneInvite();
        const SipMessage bye(invite, m_Bob);
        QCOMPARE(bye.receiverPort, quint16(5063));
        QCOMPARE(bye.startLine.requestUri.toString(),
                 QStringLiteral("sip:bob@192.0.2.31:5063;transport=tcp"));
        QCOMPARE(bye.headerValue(SipHeader::From),
                 QStringLiteral("<sip:alice@192.0.2.1>;tag=alicetag"));
        QCOMPARE(bye.headerValue(SipHeader::To),
                 QStringLiteral("\"Bob B\" <sip:bob@192.0.2.1>;tag=bobtag"));
        QVERIFY(bye.headerValue(SipHeader::Via).startsWith("SIP/2.0/TCP 192.0.2.1;"));
        checkWithTshark(bye);

        const SipMessage info(invite, m_Bob, 16, 100);
        QCOMPARE(info.headerValue(SipHeader::To), bye.headerValue(SipHeader::To));
        QCOMPARE(info.body, QByteArray("Signal=f\r\nDuration=100\r\n"));
        checkWithTshark(info);

        SipUser stranger(QStringLiteral("carol"));
        QVERIFY(SipMessage(invite, &stranger).toByteArray().isEmpty());
        QVERIFY(!SipMessage(invite, &stranger, '1', 100).isValid());
    }
};

TARNHALL_TEST_MAIN(TestSipRequests)
#include "tst_siprequests.moc"
