#include "core/timescale.h"
#include "sip/sipclientinvitedialog.h"
#include "sip/sipclientnoninvitedialog.h"
#include "sip/sipdialogindex.h"
#include "sip/sipserverinvitedialog.h"
#include "sip/sipservernoninvitedialog.h"
#include "siptestkit.h"
#include "testmain.h"

#include <QHostAddress>
#include <QtTest>

// Stands in for the SIP engine and the wire around the transactions: what they send is parsed
// back as the peer receives it; what the peer sends is parsed as the engine receives it and
// handed to the transaction of its key, or to a new server transaction; real final responses
// to an INVITE are acknowledged as the engine does.
class Engine : public QObject
{
public:
    struct Sent
    {
        SipMessage msg; // its receiver and transport are those sendDatagram named
        qint64 at;
    };
    static constexpr quint16 Port = 5060, PeerPort = 5070;
    static QString host() { return QStringLiteral("127.0.0.1"); }

    static SipMessage request(SipMethod::Type method, SipTransport::Type transport,
                              const QString &toTag = QString())
    {
        SipMessage m(method, transport);
        m.setRequestUri(QStringLiteral("bob"), host(), PeerPort, QString());
        m.addVia(host(), Port, QString(), transport);
        m.setFrom(QStringLiteral("Door"), QStringLiteral("door1"), host(), Port,
                  QStringLiteral("f"));
        m.setTo(QString(), QStringLiteral("bob"), host(), PeerPort, toTag);
        m.setHeader(SipHeader::CallID, QStringLiteral("call-%1").arg(m.cseqNumber()));
        m.setContact(QStringLiteral("door1"), host(), Port, transport);
        m.senderAddress = m.receiverAddress = host();
        m.senderPort = Port;
        m.receiverPort = PeerPort;
        return m;
    }

    SipDialog *startClient(const SipMessage &request)
    {
        SipDialog *dialog = request.method() == SipMethod::Invite
            ? static_cast<SipDialog *>(open<SipClientInviteDialog>(request))
            : open<SipClientNonInviteDialog>(request);
        dialog->process(request);
        return dialog;
    }

    template<class T> T *open(const SipMessage &request)
    {
        auto *dialog = new T(this, request);
        index.add(dialog);
        connect(
            dialog, &SipDialog::sendDatagram, this,
            [this](SipTransport::Type transport, QString address, ushort port, QByteArray bytes) {
                sent.append({ SipMessage(transport, QHostAddress(host()), Port,
                                         QHostAddress(address), port, bytes),
                              TimeScale::now() });
            });
        connect(dialog, &SipDialog::receiveResponse, this, [this](const SipMessage &response) {
            reports.append({ response, TimeScale::now() });
            auto *invite = index.find<SipClientInviteDialog>(response.transactionKey());
            if (invite && response.responseClass() != 1 && !response.synthetic)
                invite->sendAck();
        });
        return dialog;
    }

    void fromPeer(const SipMessage &msg)
    {
        const SipMessage in(msg.transport, QHostAddress(host()), PeerPort, QHostAddress(host()),
                            Port, msg.toByteArray());
        if (SipDialog *dialog = index.find(in.transactionKey()))
            dialog->process(in);
        else if (in.method() == SipMethod::Invite)
            server = open<SipServerInviteDialog>(in);
        else if (in.startLine.kind == 0)
            server = open<SipServerNonInviteDialog>(in);
    }

    // The engine answers the request of its last server transaction.
    void answer(const SipStatus::Type &status)
    {
        server->sendResponse(SipMessage(status, server->m_Request, QString(), QByteArray()));
    }

    SipDialogIndex index { this };
    QList<Sent> sent, reports;
    QPointer<SipDialog> server;
};

namespace {

const QString kContactA = QStringLiteral("<sip:u@192.0.2.4:5062>");
const QString kTargetA = QStringLiteral("sip:u@192.0.2.4:5062");

SipMessage responseTo(const SipMessage &request, int status, const QString &toTag,
                      const QStringList &contacts = {}, const QStringList &recordRoutes = {})
{
    SipMessage response(SipStatus::Type(status), request, QString(), QByteArray());
    response.setToTag(toTag);
    response.setHeaderValues(SipHeader::Contact, contacts);
    response.setHeaderValues(SipHeader::RecordRoute, recordRoutes);
    return response;
}

// Lower bounds only: a loaded machine fires a timer late, never much early.
void verifyGaps(const QList<Engine::Sent> &sent, int from, const QList<int> &gaps)
{
    for (int i = 0; i < gaps.size() && from + i + 1 < sent.size(); ++i)
        QVERIFY2(sent[from + i + 1].at - sent[from + i].at >= gaps[i] * 8 / 10,
                 qPrintable(QStringLiteral("retransmission %1").arg(i + 1)));
}

} // namespace

class tst_SipTransaction : public QObject
{
    Q_OBJECT
    Engine *e = nullptr;

private slots:
    void initTestCase() { siptest::initApplication(); }
    void init()
    {
        TimeScale::setFactor(16);
        SipDialog::m_IsStandalone = false;
        SipDialog::m_DefExtAddress.clear();
        e = new Engine;
    }
    void cleanup() { delete e; }

    void clientGivesUp_data()
    {
        QTest::addColumn<int>("method");
        QTest::addColumn<int>("transport");
        QTest::addColumn<QList<int>>("gaps");
        QTest::newRow("INVITE UDP") << 0 << 1 << QList<int> { 500, 1000, 2000, 4000, 8000, 16000 };
        QTest::newRow("INVITE TCP") << 0 << 2 << QList<int> {};
        QTest::newRow("OPTIONS UDP")
            << int(SipMethod::Options) << 1
            << QList<int> { 500, 1000, 2000, 4000, 4000, 4000, 4000, 4000, 4000, 4000 };
        QTest::newRow("BYE TCP") << int(SipMethod::Bye) << 2 << QList<int> {};
    }
    void clientGivesUp()
    {
        QFETCH(int, method);
        QFETCH(int, transport);
        QFETCH(QList<int>, gaps);
        QPointer<SipDialog> dialog = e->startClient(
            Engine::request(SipMethod::Type(method), SipTransport::Type(transport)));
        const SipMessage request = e->sent[0].msg;
        QTRY_VERIFY_WITH_TIMEOUT(dialog.isNull(), 30000);

        QCOMPARE(e->reports.size(), 1);
        QCOMPARE(e->reports[0].msg.startLine.status, SipStatus::RequestTimeout);
        QVERIFY(e->reports[0].msg.synthetic);
        QVERIFY(e->reports[0].at - e->sent[0].at >= 32000 * 8 / 10);
        // The last retransmission may fall behind the timeout on a loaded machine.
        QVERIFY(e->sent.size() == gaps.size() + 1 || e->sent.size() == gaps.size());
        verifyGaps(e->sent, 0, gaps);
        for (const Engine::Sent &s : qAsConst(e->sent)) {
            QCOMPARE(s.msg.toByteArray(), request.toByteArray());
            QCOMPARE(int(s.msg.transport), transport);
        }
    }

    // The INVITE keeps the first tag and a single Contact of a 200; each ACK takes target, tag
    // and route from the response it answers, keeps the dialog's To and the INVITE's own
    // Contact, and goes where the INVITE went. A ringing answer that crossed the final one is
    // not heard: the callee rings no more.
    void inviteResponses_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QStringList>("contacts");
        QTest::addColumn<QStringList>("recordRoutes");
        QTest::addColumn<QString>("storedContact"); // empty: the INVITE's own
        QTest::addColumn<QString>("ackTarget");
        const QStringList routes { QStringLiteral("<sip:r1;lr>"), QStringLiteral("<sip:r2;lr>") };
        const QString own = QStringLiteral("sip:bob@127.0.0.1:5070");
        QTest::newRow("486") << 35 << QStringList() << QStringList() << QString() << own;
        QTest::newRow("200") << 5 << QStringList { kContactA } << routes << kContactA << kTargetA;
        QTest::newRow("200 no Contact") << 5 << QStringList() << routes << QString() << own;
        QTest::newRow("200 two Contacts")
            << 5 << QStringList { QStringLiteral("<sip:v@192.0.2.5>"), kContactA } << QStringList()
            << QString() << QStringLiteral("sip:v@192.0.2.5");
        QTest::newRow("202") << 6 << QStringList { kContactA } << routes << QString() << kTargetA;
    }
    void inviteResponses()
    {
        QFETCH(int, status);
        QFETCH(QStringList, contacts);
        QFETCH(QStringList, recordRoutes);
        QFETCH(QString, storedContact);
        SipMessage invite = Engine::request(SipMethod::Invite, SipTransport::TCP);
        invite.setHeader(SipHeader::MaxForwards, QStringLiteral("69"));
        SipDialog *dialog = e->startClient(invite);
        const SipMessage atPeer = e->sent[0].msg;
        const SipMessage final
            = responseTo(atPeer, status, QStringLiteral("t2"), contacts, recordRoutes);
        for (const SipMessage &response : { responseTo(atPeer, 0, QStringLiteral("t0")),
                                            responseTo(atPeer, 1, QStringLiteral("t1")), final,
                                            final, responseTo(atPeer, 1, QStringLiteral("t1")) })
            e->fromPeer(response);

        QCOMPARE(dialog->state(), int(SipDialog::Completed));
        QCOMPARE(toTagOf(dialog->m_Request), QStringLiteral("t1"));
        QCOMPARE(dialog->m_Request.headerValue(SipHeader::Contact),
                 storedContact.isEmpty() ? invite.headerValue(SipHeader::Contact) : storedContact);
        QCOMPARE(e->reports.size(), 4);
        QCOMPARE(e->sent.size(), 3);
        std::reverse(recordRoutes.begin(), recordRoutes.end());
        for (const Engine::Sent &ack : { e->sent[1], e->sent[2] }) {
            QCOMPARE(ack.msg.method(), SipMethod::Ack);
            QCOMPARE(ack.msg.receiverPort, Engine::PeerPort);
            QTEST(ack.msg.startLine.requestUri.toString(), "ackTarget");
            QCOMPARE(ack.msg.to().address.toString(), atPeer.to().address.toString());
            QCOMPARE(ack.msg.headerValue(SipHeader::Contact),
                     invite.headerValue(SipHeader::Contact));
            QCOMPARE(toTagOf(ack.msg), QStringLiteral("t2"));
            QCOMPARE(ack.msg.branch(), atPeer.branch());
            QCOMPARE(ack.msg.headerValue(SipHeader::CSeq),
                     QStringLiteral("%1 ACK").arg(atPeer.cseqNumber()));
            QCOMPARE(ack.msg.headerValue(SipHeader::MaxForwards), QStringLiteral("69"));
            QCOMPARE(ack.msg.headerValues(SipHeader::Route), recordRoutes);
        }
    }

    // A ringing INVITE whose CANCEL went out still takes its final answer, and ends 64 x T1 later
    // when none comes: no transaction outlives a peer that went quiet.
    void cancelledInviteEnds_data()
    {
        QTest::addColumn<int>("final"); // -1: none comes
        QTest::addColumn<int>("reported"); // the last status the engine hears
        QTest::newRow("487") << int(SipStatus::RequestTerminated)
                             << int(SipStatus::RequestTerminated);
        QTest::newRow("200 crossing the CANCEL") << int(SipStatus::OK) << int(SipStatus::OK);
        QTest::newRow("no answer") << -1 << int(SipStatus::ServiceUnavailable);
    }
    void cancelledInviteEnds()
    {
        QFETCH(int, final);
        auto *dialog = static_cast<SipClientInviteDialog *>(
            e->startClient(Engine::request(SipMethod::Invite, SipTransport::UDP)));
        const QPointer<SipDialog> alive(dialog);
        const SipMessage atPeer = e->sent[0].msg;
        e->fromPeer(responseTo(atPeer, SipStatus::Ringing, QStringLiteral("t1")));
        dialog->cancelSent();
        if (final >= 0)
            e->fromPeer(responseTo(atPeer, final, QStringLiteral("t1")));
        QTRY_VERIFY_WITH_TIMEOUT(alive.isNull(), 30000);
        QTEST(int(e->reports.last().msg.startLine.status), "reported");
        QCOMPARE(e->sent.last().msg.method(), final >= 0 ? SipMethod::Ack : SipMethod::Invite);
    }

    // Responses carry the dialog's To tag (none on a 100); a retransmitted request gets the last
    // response again, also once the server gave out a tag that the request does not carry.
    void serverAnswers_data()
    {
        QTest::addColumn<int>("method");
        QTest::addColumn<QString>("requestTag");
        QTest::addColumn<int>("transport");
        QTest::addColumn<QString>("extAddress");
        QTest::newRow("BYE") << int(SipMethod::Bye) << QString() << 1 << QString();
        QTest::newRow("in-dialog INFO")
            << int(SipMethod::Info) << QStringLiteral("x") << 2 << QString();
        QTest::newRow("REGISTER") << int(SipMethod::Register) << QString() << 1 << QString();
        QTest::newRow("INVITE UDP") << 0 << QString() << 1 << QString();
        QTest::newRow("INVITE TCP, outside address")
            << 0 << QString() << 2 << QStringLiteral("203.0.113.9");
    }
    void serverAnswers()
    {
        QFETCH(int, method);
        QFETCH(QString, requestTag);
        QFETCH(int, transport);
        QFETCH(QString, extAddress);
        SipDialog::m_DefExtAddress = extAddress;
        const bool invite = method == SipMethod::Invite;
        const SipMessage request
            = Engine::request(SipMethod::Type(method), SipTransport::Type(transport), requestTag);
        e->fromPeer(request);
        e->fromPeer(request);
        QCOMPARE(e->sent.size(), 0);
        QPointer<SipDialog> dialog = e->server;
        QString tag = requestTag;
        for (const int status : invite ? QList<int> { 0, 1, 5 } : QList<int> { 0, 5 }) {
            e->answer(SipStatus::Type(status));
            const SipMessage answer = e->sent.last().msg;
            if (status > 0 && tag.isEmpty())
                tag = toTagOf(answer);
            QCOMPARE(toTagOf(answer), status > 0 ? tag : requestTag);
            if (method == SipMethod::Register && status > 0) {
                QTRY_VERIFY(dialog.isNull());
                return;
            }
            e->fromPeer(request);
            QCOMPARE(e->sent.last().msg.toByteArray(), answer.toByteArray());
        }
        QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f]{32}$")).match(tag).hasMatch()
                || tag == requestTag);
        QCOMPARE(toTagOf(dialog->m_Request), tag);
        const SipMessage final = e->sent.last().msg;
        QCOMPARE(final.contact().address.host,
                 invite ? (extAddress.isEmpty() ? Engine::host() : extAddress) : QString());
        const int before = e->sent.size();
        e->answer(SipStatus::RequestTerminated); // after a 200 only a non-INVITE sends it
        QCOMPARE(e->sent.size(), before + (invite ? 0 : 1));
        if (!invite)
            return;

        if (transport == SipTransport::UDP) {
            QTRY_VERIFY(e->sent.size() >= before + 3);
            verifyGaps(e->sent, before - 1, { 500, 1000, 2000 });
        }
        QSignalSpy acks(dialog, SIGNAL(ack(QString)));
        SipMessage ack = Engine::request(SipMethod::Ack, SipTransport::Type(transport), tag);
        ack.setHeaderValues(SipHeader::CallID, request.headerValues(SipHeader::CallID));
        ack.setCSeq(request.cseqNumber(), SipMethod::Ack);
        e->fromPeer(ack);
        QCOMPARE(acks.size(), 1);
        const int afterAck = e->sent.size();
        QTRY_VERIFY(dialog.isNull());
        QCOMPARE(e->sent.size(), afterAck);
    }

    // A server transaction never given a final response ends with a log line after its limit;
    // one that got a final response ends quietly after Timer J or H.
    void serverEnds_data()
    {
        QTest::addColumn<int>("method");
        QTest::addColumn<int>("status");
        QTest::addColumn<qint64>("endsAfter");
        QTest::addColumn<bool>("logged");
        const auto row = [](const char *name, int method, int status, qint64 endsAfter) {
            QTest::newRow(name) << method << status << endsAfter << (endsAfter != 32000);
        };
        row("BYE unanswered", SipMethod::Bye, -1, SipServerNonInviteDialog::UnansweredLimit);
        row("BYE 100", SipMethod::Bye, 0, SipServerNonInviteDialog::UnansweredLimit);
        row("BYE 200", SipMethod::Bye, 5, 32000);
        row("INVITE unanswered", 0, -1, SipServerInviteDialog::UnansweredLimit);
        row("INVITE 180", 0, 1, SipServerInviteDialog::UnansweredLimit);
        row("INVITE 486, no ACK", 0, 35, 32000);
    }
    void serverEnds()
    {
        QFETCH(int, method);
        QFETCH(int, status);
        QFETCH(qint64, endsAfter);
        TimeScale::setFactor(100);
        QSignalSpy log(Env::instance(), &Env::viewLog);
        const qint64 start = TimeScale::now();
        e->fromPeer(Engine::request(SipMethod::Type(method), SipTransport::UDP));
        QPointer<SipDialog> dialog = e->server;
        const QString name = dialog->objectName();
        if (status >= 0)
            e->answer(SipStatus::Type(status));
        QTRY_VERIFY_WITH_TIMEOUT(dialog.isNull(), 30000);
        QVERIFY(TimeScale::now() - start >= endsAfter * 8 / 10);
        QTEST(log.size() == 1 && log[0][0].toString().contains(name + "' ended: no final"),
              "logged");
    }

    // Reported, never sent: the 480 of a callee ringing too long, the 503 of an early end.
    void standaloneRingingAndTerminate()
    {
        TimeScale::setFactor(1000);
        SipDialog::m_IsStandalone = true;
        QPointer<SipDialog> dialog
            = e->startClient(Engine::request(SipMethod::Invite, SipTransport::TCP));
        QSignalSpy timeouts(dialog, SIGNAL(timeoutCall(SipMessage)));
        e->fromPeer(responseTo(e->sent[0].msg, 1, QStringLiteral("t1")));
        QTRY_VERIFY(timeouts.size() >= 2);
        QCOMPARE(dialog->state(), int(SipDialog::Proceeding));
        QCOMPARE(timeouts[1][0].value<SipMessage>().startLine.status,
                 SipStatus::TemporarilyUnavailable);
        QMetaObject::invokeMethod(dialog, "terminate");
        QTRY_VERIFY(dialog.isNull());
        QCOMPARE(e->reports.last().msg.startLine.status, SipStatus::ServiceUnavailable);
        for (const Engine::Sent &report : e->reports.mid(1))
            QVERIFY(report.msg.synthetic);
        QCOMPARE(e->sent.size(), 1);
    }

    // Each machine once on the real clock, all at the same time: Timers F, B, J and H.
    void realTime()
    {
        TimeScale::setFactor(1);
        QList<QPointer<SipDialog>> dialogs;
        for (const SipMethod::Type method : { SipMethod::Options, SipMethod::Invite })
            dialogs << e->startClient(Engine::request(method, SipTransport::UDP));
        for (const int status : { 5, 35 }) {
            e->fromPeer(Engine::request(status == 5 ? SipMethod::Bye : SipMethod::Invite,
                                        SipTransport::UDP));
            e->answer(SipStatus::Type(status));
            dialogs << e->server;
        }
        const qint64 start = TimeScale::now();
        QTRY_VERIFY_WITH_TIMEOUT(dialogs.count(nullptr) == 4, 60000);
        QVERIFY(TimeScale::now() - start >= 32000 * 95 / 100);
        QMap<uint, int> sends; // by CSeq number, in the order made
        for (const Engine::Sent &s : qAsConst(e->sent))
            ++sends[s.msg.cseqNumber()];
        const QList<int> expected { 11, 7, 1, 11 }; // OPTIONS, INVITE, 200 to BYE, 486
        for (int i = 0; i < 4; ++i)
            QVERIFY(qAbs(sends.values()[i] - expected[i]) <= 1);
    }
};

TARNHALL_TEST_MAIN(tst_SipTransaction)
#include "tst_siptransaction.moc"
