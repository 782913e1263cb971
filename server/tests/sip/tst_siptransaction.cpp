#include "core/env.h"
#include "transactionengine.h"

#include <QtTest>

using Engine = TransactionEngine;

namespace {

const QString kContactA = QStringLiteral("<sip:u@192.0.2.4:5062>");
const QString kContactB = QStringLiteral("<sip:v@192.0.2.5>");

SipMessage responseTo(const SipMessage &request, const SipStatus::Type &status,
                      const QString &toTag, const QStringList &contacts = {},
                      const QStringList &recordRoutes = {})
{
    SipMessage response(status, request, QString(), QByteArray());
    response.setToTag(toTag);
    response.setHeaderValues(SipHeader::Contact, contacts);
    response.setHeaderValues(SipHeader::RecordRoute, recordRoutes);
    return response;
}

// Lower bounds only: a loaded machine may fire a timer late, never much early.
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
    void initTestCase()
    {
        static const QByteArray argv0 = QCoreApplication::applicationFilePath().toLocal8Bit();
        Env::initApplication(argv0.constData());
    }
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
        QTest::newRow("INVITE UDP")
            << int(SipMethod::Invite) << int(SipTransport::UDP)
            << QList<int> { 500, 1000, 2000, 4000, 8000, 16000 };
        QTest::newRow("INVITE TCP") << int(SipMethod::Invite) << int(SipTransport::TCP)
                                    << QList<int> {};
        QTest::newRow("OPTIONS UDP")
            << int(SipMethod::Options) << int(SipTransport::UDP)
            << QList<int> { 500, 1000, 2000, 4000, 4000, 4000, 4000, 4000, 4000, 4000 };
        QTest::newRow("BYE TCP") << int(SipMethod::Bye) << int(SipTransport::TCP) << QList<int> {};
    }
    void clientGivesUp()
    {
        QFETCH(int, method);
        QFETCH(int, transport);
        QFETCH(QList<int>, gaps);
        const SipMessage request
            = Engine::request(SipMethod::Type(method), SipTransport::Type(transport));
        QPointer<SipDialog> dialog = method == SipMethod::Invite
            ? static_cast<SipDialog *>(e->start<SipClientInviteDialog>(request))
            : e->start<SipClientNonInviteDialog>(request);
        QCOMPARE(dialog->objectName(),
                 QStringLiteral("%1_%2_%3")
                     .arg(methodName(SipMethod::Type(method)))
                     .arg(request.cseqNumber())
                     .arg(request.callId()));
        QTRY_VERIFY_WITH_TIMEOUT(dialog.isNull(), 30000);

        QCOMPARE(e->reports.size(), 1);
        QCOMPARE(e->reports[0].startLine.status, SipStatus::RequestTimeout);
        QVERIFY(e->reports[0].synthetic);
        QVERIFY(e->reportedAt[0] - e->sent[0].at >= 32000 * 8 / 10);
        // The last retransmission may fall behind the timeout on a loaded machine.
        QVERIFY2(e->sent.size() == gaps.size() + 1 || e->sent.size() == gaps.size(),
                 qPrintable(QString::number(e->sent.size())));
        verifyGaps(e->sent, 0, gaps);
        for (const Engine::Sent &s : qAsConst(e->sent)) {
            QCOMPARE(s.msg.toByteArray(), request.toByteArray());
            QCOMPARE(int(s.transport), transport);
        }
    }

    // The INVITE keeps the first tag and a single Contact of a 200; the ACK takes target, tag
    // and route from the response it answers, and goes where the INVITE went.
    void inviteResponses_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QStringList>("contacts");
        QTest::addColumn<QStringList>("recordRoutes");
        QTest::addColumn<QString>("storedContact"); // empty: the INVITE's own
        QTest::addColumn<QString>("ackTarget");
        const QStringList routes { QStringLiteral("<sip:r1;lr>"), QStringLiteral("<sip:r2;lr>") };
        const QString inviteTarget = QStringLiteral("sip:bob@127.0.0.1:5070");
        QTest::newRow("486") << int(SipStatus::BusyHere) << QStringList() << QStringList()
                             << QString() << inviteTarget;
        QTest::newRow("200 routed") << int(SipStatus::OK) << QStringList { kContactA } << routes
                                    << kContactA << QStringLiteral("sip:u@192.0.2.4:5062");
        QTest::newRow("200 no Contact") << int(SipStatus::OK) << QStringList() << QStringList()
                                        << QString() << inviteTarget;
        QTest::newRow("200 two Contacts")
            << int(SipStatus::OK) << QStringList { kContactB, kContactA } << QStringList()
            << QString() << QStringLiteral("sip:v@192.0.2.5");
        QTest::newRow("202") << int(SipStatus::Accepted) << QStringList { kContactA }
                             << QStringList() << QString()
                             << QStringLiteral("sip:u@192.0.2.4:5062");
    }
    void inviteResponses()
    {
        QFETCH(int, status);
        QFETCH(QStringList, contacts);
        QFETCH(QStringList, recordRoutes);
        SipMessage invite = Engine::request(SipMethod::Invite, SipTransport::TCP);
        invite.setHeader(SipHeader::MaxForwards, QStringLiteral("69"));
        auto *dialog = e->start<SipClientInviteDialog>(invite);
        const SipMessage atPeer = e->sent[0].msg;
        const SipMessage final = responseTo(atPeer, SipStatus::Type(status), QStringLiteral("t2"),
                                            contacts, recordRoutes);
        e->fromPeer(responseTo(atPeer, SipStatus::Trying, QStringLiteral("t0")));
        e->fromPeer(responseTo(atPeer, SipStatus::Ringing, QStringLiteral("t1")));
        e->fromPeer(final);
        e->fromPeer(final);

        QCOMPARE(dialog->state(), int(SipDialog::Completed));
        QCOMPARE(toTagOf(dialog->m_Request), QStringLiteral("t1"));
        QFETCH(QString, storedContact);
        QCOMPARE(dialog->m_Request.headerValue(SipHeader::Contact),
                 storedContact.isEmpty() ? invite.headerValue(SipHeader::Contact) : storedContact);
        QCOMPARE(e->reports.size(), 4);
        QCOMPARE(e->sent.size(), 3);
        for (const Engine::Sent &ack : { e->sent[1], e->sent[2] }) {
            QCOMPARE(ack.msg.method(), SipMethod::Ack);
            QCOMPARE(ack.address, Engine::host());
            QCOMPARE(ack.port, Engine::PeerPort);
            QTEST(ack.msg.startLine.requestUri.toString(), "ackTarget");
            QCOMPARE(ack.msg.to().address.toString(), ack.msg.startLine.requestUri.toString());
            QCOMPARE(toTagOf(ack.msg), QStringLiteral("t2"));
            QCOMPARE(ack.msg.branch(), atPeer.branch());
            QCOMPARE(ack.msg.headerValue(SipHeader::CSeq),
                     QStringLiteral("%1 ACK").arg(atPeer.cseqNumber()));
            QCOMPARE(ack.msg.headerValue(SipHeader::MaxForwards), QStringLiteral("69"));
            std::reverse(recordRoutes.begin(), recordRoutes.end());
            QCOMPARE(ack.msg.headerValues(SipHeader::Route), recordRoutes);
            std::reverse(recordRoutes.begin(), recordRoutes.end());
        }
    }

    // Responses carry the dialog's To tag (none on a 100); a retransmitted request gets the last
    // response again, also once the server added a tag it does not carry.
    void serverAnswers_data()
    {
        QTest::addColumn<int>("method");
        QTest::addColumn<QString>("requestTag");
        QTest::addColumn<int>("transport");
        QTest::addColumn<QString>("extAddress");
        QTest::newRow("BYE") << int(SipMethod::Bye) << QString() << int(SipTransport::UDP)
                             << QString();
        QTest::newRow("in-dialog INFO") << int(SipMethod::Info) << QStringLiteral("x")
                                        << int(SipTransport::TCP) << QString();
        QTest::newRow("REGISTER") << int(SipMethod::Register) << QString()
                                  << int(SipTransport::UDP) << QString();
        QTest::newRow("INVITE UDP") << int(SipMethod::Invite) << QString()
                                    << int(SipTransport::UDP) << QString();
        QTest::newRow("INVITE TCP, outside address")
            << int(SipMethod::Invite) << QString() << int(SipTransport::TCP)
            << QStringLiteral("203.0.113.9");
    }
    void serverAnswers()
    {
        QFETCH(int, method);
        QFETCH(QString, requestTag);
        QFETCH(int, transport);
        QFETCH(QString, extAddress);
        SipDialog::m_DefExtAddress = extAddress;
        const bool invite = method == SipMethod::Invite;
        const SipMessage request = Engine::request(SipMethod::Type(method),
                                                   SipTransport::Type(transport), requestTag);
        e->fromPeer(request);
        QPointer<SipDialog> dialog = e->server;
        e->fromPeer(request);
        QCOMPARE(e->sent.size(), 0);

        e->answer(SipStatus::Trying);
        e->fromPeer(request);
        QCOMPARE(e->sent.size(), 2);
        QCOMPARE(e->sent[1].msg.toByteArray(), e->sent[0].msg.toByteArray());
        QCOMPARE(toTagOf(e->sent[0].msg), requestTag);
        if (invite) {
            e->answer(SipStatus::Ringing);
            e->fromPeer(request);
            QCOMPARE(e->sent.size(), 4);
            QCOMPARE(e->sent[3].msg.startLine.status, SipStatus::Ringing);
        }
        e->answer(SipStatus::OK);
        const SipMessage final = e->sent.last().msg;
        const QString tag = toTagOf(final);
        QVERIFY(requestTag.isEmpty() ? QRegularExpression(QStringLiteral("^[0-9a-f]{32}$"))
                                           .match(tag)
                                           .hasMatch()
                                     : tag == requestTag);
        QCOMPARE(toTagOf(e->sent[e->sent.size() - 2].msg), invite ? tag : requestTag);
        QCOMPARE(final.contact().address.host,
                 invite ? (extAddress.isEmpty() ? Engine::host() : extAddress) : QString());
        if (method == SipMethod::Register) {
            QTRY_VERIFY(dialog.isNull());
            return;
        }
        QCOMPARE(toTagOf(dialog->m_Request), tag);
        const int before = e->sent.size();
        e->fromPeer(request);
        e->answer(SipStatus::RequestTerminated);
        QCOMPARE(e->sent[before].msg.toByteArray(), final.toByteArray());
        QCOMPARE(e->sent.size(), before + (invite ? 1 : 2));
        if (!invite)
            return;

        // The 200 repeats over UDP until the ACK.
        if (transport == SipTransport::UDP) {
            QTRY_VERIFY(e->sent.size() >= before + 4);
            verifyGaps(e->sent, before, { 500, 1000, 2000 });
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
        const qint64 nonInvite = SipServerNonInviteDialog::UnansweredLimit;
        const qint64 invite = SipServerInviteDialog::UnansweredLimit;
        QTest::newRow("BYE unanswered") << int(SipMethod::Bye) << -1 << nonInvite << true;
        QTest::newRow("BYE 100") << int(SipMethod::Bye) << 0 << nonInvite << true;
        QTest::newRow("BYE 200") << int(SipMethod::Bye) << 5 << 32000LL << false;
        QTest::newRow("INVITE unanswered") << int(SipMethod::Invite) << -1 << invite << true;
        QTest::newRow("INVITE 180") << int(SipMethod::Invite) << 1 << invite << true;
        QTest::newRow("INVITE 486, no ACK") << int(SipMethod::Invite) << 35 << 32000LL << false;
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
        const QString line = QStringLiteral("[SIP]: Transaction '%1' ended: no final response "
                                            "within %2 s")
                                 .arg(name)
                                 .arg(endsAfter / 1000);
        QTEST(log.size() == 1 && log[0][0].toString().endsWith(line), "logged");
    }

    void standaloneRingingReportsTimeout()
    {
        TimeScale::setFactor(1000);
        SipDialog::m_IsStandalone = true;
        auto *dialog = e->start<SipClientInviteDialog>(
            Engine::request(SipMethod::Invite, SipTransport::TCP));
        QSignalSpy timeouts(dialog, &SipClientInviteDialog::timeoutCall);
        e->fromPeer(responseTo(e->sent[0].msg, SipStatus::Ringing, QStringLiteral("t1")));
        QTRY_VERIFY(timeouts.size() >= 2);
        QCOMPARE(dialog->state(), int(SipDialog::Proceeding));
        const SipMessage reported = timeouts[1][0].value<SipMessage>();
        QCOMPARE(reported.startLine.status, SipStatus::TemporarilyUnavailable);
        QVERIFY(reported.synthetic && e->reports.last().synthetic);
        QCOMPARE(e->sent.size(), 1);
    }

    void terminateReports_data()
    {
        QTest::addColumn<bool>("invite");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("reported");
        QTest::newRow("INVITE calling") << true << -1 << true;
        QTest::newRow("INVITE ringing") << true << 1 << true;
        QTest::newRow("INVITE completed") << true << 5 << false;
        QTest::newRow("MESSAGE trying") << false << -1 << true;
        QTest::newRow("MESSAGE completed") << false << 5 << false;
    }
    void terminateReports()
    {
        QFETCH(bool, invite);
        QFETCH(int, status);
        const SipMessage request = Engine::request(
            invite ? SipMethod::Invite : SipMethod::Message, SipTransport::TCP);
        QPointer<SipDialog> dialog = invite
            ? static_cast<SipDialog *>(e->start<SipClientInviteDialog>(request))
            : e->start<SipClientNonInviteDialog>(request);
        if (status >= 0)
            e->fromPeer(responseTo(e->sent[0].msg, SipStatus::Type(status), QStringLiteral("t")));
        const int reports = e->reports.size();
        QMetaObject::invokeMethod(dialog, "terminate");
        QTEST(e->reports.size() == reports + 1, "reported");
        if (e->reports.size() > reports) {
            QCOMPARE(e->reports.last().startLine.status, SipStatus::ServiceUnavailable);
            QVERIFY(e->reports.last().synthetic);
        }
        QTRY_VERIFY(dialog.isNull());
    }
};

QTEST_MAIN(tst_SipTransaction)
#include "tst_siptransaction.moc"
