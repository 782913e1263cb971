// Adding, changing, handing over and removing legs, and the call records a removal writes.
#include "conversation/conversationobject.h"

#include "conversation/conversationcaller.h"

#include <QThread>

#include <algorithm>

namespace {

QString callIdOf(const SipMessage &invite)
{
    const QStringList ids = invite.headerValues(SipHeader::CallID);
    return ids.size() == 1 ? ids.first() : QString();
}

} // namespace

void ConversationObject::onAppendCaller(qulonglong rtp_timeout, QString user, SipMessage invite,
                                        uchar audio_type, QHostAddress rtp_addr, ushort rtp_port,
                                        QHostAddress rtcp_addr, ushort rtcp_port,
                                        SipSdpAction::Type sdp_action, uchar video_type,
                                        QHostAddress video_rtp_addr, ushort video_rtp_port,
                                        QHostAddress video_rtcp_addr, ushort video_rtcp_port,
                                        SipSdpAction::Type video_sdp_action)
{
    const QString callId = callIdOf(invite);
    if (m_Legs.isEmpty())
        m_FirstCallId = callId;
    emit cacheCaller(user, true);
    ConversationCaller *c = leg(callId);
    if (!c) {
        c = new ConversationCaller(this);
        markJoining(c);
    }
    c->initSip(rtp_timeout, user, invite, audio_type, rtp_addr, rtp_port, rtcp_addr, rtcp_port,
               sdp_action, video_type, video_rtp_addr, video_rtp_port, video_rtcp_addr,
               video_rtcp_port, video_sdp_action);
    m_Legs.insert(callId, c);
}

void ConversationObject::onAppendCallerObject(QString callId, ConversationCaller *caller)
{
    if (m_Legs.isEmpty())
        m_FirstCallId = callId;
    if (!caller || callId.isEmpty() || m_Legs.contains(callId)) {
        // A refused leg would otherwise be left without an owner; the very leg already held
        // under that id must of course stay.
        if (caller && m_Legs.value(callId) != caller)
            caller->deleteLater();
        return;
    }
    emit cacheCaller(caller->m_User, true);
    if (caller->thread() != thread())
        caller->moveToThread(thread());
    caller->setParent(this);
    markJoining(caller);
    m_Legs.insert(callId, caller);
}

void ConversationObject::markJoining(ConversationCaller *joining) const
{
    const QList<ConversationCaller *> legs = liveLegs();
    if (std::none_of(legs.cbegin(), legs.cend(),
                     [](const ConversationCaller *c) { return c->m_Answered; }))
        return;
    joining->m_RingTime = QDateTime::currentMSecsSinceEpoch();
    joining->m_RingTimeMono = FrameClock::nowMs();
}

void ConversationObject::onUpdateCaller(SipMessage invite)
{
    if (ConversationCaller *c = leg(callIdOf(invite)))
        c->m_Invite = invite;
}

void ConversationObject::onReplaceCaller(QString callId, uchar audio_type, QHostAddress rtp_addr,
                                         ushort rtp_port, QHostAddress rtcp_addr, ushort rtcp_port,
                                         SipSdpAction::Type sdp_action, uchar video_type,
                                         QHostAddress video_rtp_addr, ushort video_rtp_port,
                                         QHostAddress video_rtcp_addr, ushort video_rtcp_port,
                                         SipSdpAction::Type video_sdp_action)
{
    ConversationCaller *c = leg(callId);
    if (!c)
        return;
    c->initSip(c->m_RtpTimeout, c->m_User, c->m_Invite, audio_type, rtp_addr, rtp_port, rtcp_addr,
               rtcp_port, sdp_action, video_type, video_rtp_addr, video_rtp_port, video_rtcp_addr,
               video_rtcp_port, video_sdp_action);
}

void ConversationObject::onReferCaller(QString callId, QString conversationName)
{
    if (!m_Legs.contains(callId))
        return;
    // The call as it stood ends here for its record: the parties moved on start a call of their
    // own elsewhere, and the referrer's later leaving finds nobody left to pair it with.
    writeEndRecords();
    ConversationCaller *referrer = m_Legs.take(callId);
    forgetAll(
        [&](ConversationCaller *c) { emit moveCaller(conversationName, c->m_User, c->m_Invite); });
    m_Legs.insert(callId, referrer);
}

void ConversationObject::onClearCallers()
{
    writeEndRecords();
    forgetAll(nullptr);
}

void ConversationObject::onHangUp(bool normal)
{
    // The first caller leaves first, so that a call never answered is recorded as its call.
    QStringList ids = m_Legs.keys();
    if (ids.removeOne(m_FirstCallId))
        ids.prepend(m_FirstCallId);
    for (const QString &callId : qAsConst(ids))
        onRemoveCallerAndBye(callId, normal);
    m_Terminate = true;
}

void ConversationObject::forget(ConversationCaller *gone)
{
    emit cacheCaller(gone->m_User, false);
    delete gone;
}

void ConversationObject::forgetAll(const std::function<void(ConversationCaller *)> &report)
{
    while (!m_Legs.isEmpty()) {
        ConversationCaller *c = m_Legs.take(m_Legs.lastKey());
        if (!c)
            continue;
        if (report)
            report(c);
        forget(c);
    }
}

ConversationCaller *ConversationObject::takeForRemoval(const QString &callId, bool normal)
{
    if (!m_Legs.contains(callId))
        return nullptr;
    m_Normal = normal;
    ConversationCaller *gone = m_Legs.take(callId);
    // The kind of keys a leg takes is its party's: whoever it talks with next keys anew.
    for (ConversationCaller *c : liveLegs())
        c->m_DtmfLock = DtmfType::None;
    return gone;
}

void ConversationObject::onRemoveCallerAndBye(QString callId, bool normal)
{
    ConversationCaller *gone = takeForRemoval(callId, normal);
    if (!gone)
        return;
    // Ended by the service, not by the party: the call still leaves its record. A phone that
    // never answered has no dialog a BYE could reach, so its INVITE is cancelled instead.
    writeRemovalRecords(callId, gone);
    if (gone->m_Answered || gone->m_Kind != ConversationCaller::Sip)
        emit lastBye(gone->m_Invite, gone->m_User, normal);
    else
        emit lastCancel(gone->m_Invite, gone->m_User, normal);
    forget(gone);
}

void ConversationObject::onRemoveCaller(QString callId, bool normal)
{
    ConversationCaller *gone = takeForRemoval(callId, normal);
    if (!gone)
        return;
    writeRemovalRecords(callId, gone);
    forget(gone);
}

void ConversationObject::writeRemovalRecords(const QString &callId, ConversationCaller *gone)
{
    if (isGroup())
        removeGroupLeg(callId, gone);
    else
        removeTwoPartyLeg(callId, gone);
}

QSmdrAction::Type ConversationObject::action() const
{
    return m_Type >= 1 && m_Type <= 9 ? QSmdrAction::Type(m_Type - 1) : QSmdrAction::Type(-1);
}

QSmdrAction::Type ConversationObject::summaryAction() const
{
    return m_Type == 4 ? QSmdrAction::INT : QSmdrAction::INC;
}

void ConversationObject::writeRecord(const QDateTime &time, const QString &src, const QString &dest,
                                     qint64 duration, QSmdrAction::Type action, const QString &attr)
{
    emit smdrLog(time, src, dest, duration, action, attr);
}

void ConversationObject::removeGroupLeg(const QString &callId, ConversationCaller *gone)
{
    // Recorded already, every party present then included: one leaving in the same pass (a
    // listener's hang-up crossing the master's BYE) has its record.
    if (m_GroupRecorded)
        return;
    const QDateTime start = QDateTime::fromMSecsSinceEpoch(m_CallStart);
    const qint64 d = m_CallStart >= 1 ? FrameClock::nowMs() - m_CallStartMono : 0;
    if (callId == m_FirstCallId) {
        m_Terminate = true;
        writeGroupEnd(start, d, nullptr);
        return;
    }
    writeRecord(start, m_Master, gone->m_User, d, action());
    if (m_Legs.size() != 1)
        return;
    m_Terminate = true;
    ConversationCaller *last = m_Legs.first();
    if (m_Legs.firstKey() == m_FirstCallId)
        writeRecord(start, m_Master, m_Slave, d, summaryAction());
    else if (last)
        writeRecord(start, m_Master, last->m_User, d, action());
    m_GroupRecorded = true;
    m_CallStart = 0;
    m_CallStartMono = 0;
}

// The master's leaving: the summary, then every listener still present; the call is recorded.
void ConversationObject::writeGroupEnd(const QDateTime &start, qint64 d,
                                       const ConversationCaller *master)
{
    if (m_GroupRecorded)
        return;
    m_GroupRecorded = true;
    writeRecord(start, m_Master, m_Slave, d, summaryAction());
    for (ConversationCaller *c : liveLegs()) {
        if (c != master)
            writeRecord(start, m_Master, c->m_User, d, action());
    }
    m_CallStart = 0;
    m_CallStartMono = 0;
}

// A call still connected when it ends without a party leaving (the silence watch, the duration
// limit, a stop or restart of the module) leaves the records a party's leaving would have.
void ConversationObject::writeEndRecords()
{
    if (m_CallStart < 1)
        return;
    const QDateTime start = QDateTime::fromMSecsSinceEpoch(m_CallStart);
    const qint64 d = FrameClock::nowMs() - m_CallStartMono;
    if (isGroup()) {
        writeGroupEnd(start, d, leg(m_FirstCallId));
        return;
    }
    m_CallStart = 0;
    m_CallStartMono = 0;
    QList<ConversationCaller *> answered;
    for (ConversationCaller *c : liveLegs()) {
        if (c->m_Answered)
            answered.append(c);
    }
    if (answered.size() < 2)
        return;
    std::sort(answered.begin(), answered.end(), [](ConversationCaller *x, ConversationCaller *y) {
        return x->m_AcceptTime < y->m_AcceptTime;
    });
    writeRecord(start, answered.at(0)->m_User, answered.at(1)->m_User, d, action());
}

void ConversationObject::removeTwoPartyLeg(const QString &callId, ConversationCaller *gone)
{
    const QList<ConversationCaller *> rest = liveLegs();
    const auto ordered = [](ConversationCaller *x, ConversationCaller *y) {
        return x->m_AcceptTime <= y->m_AcceptTime ? qMakePair(x, y) : qMakePair(y, x);
    };
    if (rest.size() == 1) {
        ConversationCaller *remaining = rest.first();
        if (m_CallStart >= 1 && remaining->m_Answered && gone->m_Answered) {
            const auto pair = ordered(remaining, gone);
            writeRecord(QDateTime::fromMSecsSinceEpoch(m_CallStart), pair.first->m_User,
                        pair.second->m_User, FrameClock::nowMs() - m_CallStartMono, action());
            // That call is recorded; one who joins the party left (a call replaced by a
            // transfer) starts a call of its own, not this one again.
            m_CallStart = 0;
            m_CallStartMono = 0;
        } else {
            const bool goneFirst = callId == m_FirstCallId;
            const ConversationCaller *src = goneFirst ? gone : remaining;
            const ConversationCaller *dest = goneFirst ? remaining : gone;
            // A transfer's target that did not answer is the one called, whoever left first.
            if (src->m_RingTime > 0 && !src->m_Answered)
                std::swap(src, dest);
            writeUnanswered(src, dest);
        }
    } else if (rest.size() == 2 && m_CallStart >= 1 && !gone->m_Answered) {
        // A transfer's target refused, was cancelled or timed out: the call it was to join goes
        // on as it was, and the target is recorded as not answering whoever called it.
        const QString caller = gone->m_Invite.from().address.user;
        ConversationCaller *src
            = rest.first()->m_AcceptTime <= rest.last()->m_AcceptTime ? rest.first() : rest.last();
        for (ConversationCaller *c : rest) {
            if (c->m_User == caller)
                src = c;
        }
        writeUnanswered(src, gone);
    } else if (rest.size() == 2 && m_CallStart >= 1) {
        const QDateTime start = QDateTime::fromMSecsSinceEpoch(m_CallStart);
        const qint64 d = FrameClock::nowMs() - m_CallStartMono;
        // The one who stays from the connected call answered before the newcomer (a transfer's
        // target) did; the order of the call ids says nothing about who talked with whom.
        ConversationCaller *first = rest.first();
        ConversationCaller *last = rest.last();
        ConversationCaller *r
            = first->m_Answered && (!last->m_Answered || first->m_AcceptTime < last->m_AcceptTime)
            ? first
            : last;
        if (first->m_Answered && last->m_Answered) {
            // Both who stay are talking already (a transfer's target answered before the
            // transferor left): their call goes on, connected from now, and nobody is held.
            m_CallStart = QDateTime::currentMSecsSinceEpoch();
            m_CallStartMono = FrameClock::nowMs();
        } else {
            m_CallStart = 0;
            m_CallStartMono = 0;
            r->startSound(SoundWavParam::Hold);
        }
        const auto pair = ordered(r, gone);
        writeRecord(start, pair.first->m_User, pair.second->m_User, d, action());
    }
}

void ConversationObject::writeUnanswered(const ConversationCaller *src,
                                         const ConversationCaller *dest)
{
    const bool joined = dest->m_RingTime > 0;
    writeRecord(joined ? QDateTime::fromMSecsSinceEpoch(dest->m_RingTime) : m_Created, src->m_User,
                dest->m_User, FrameClock::nowMs() - (joined ? dest->m_RingTimeMono : m_CreatedMono),
                action(), QStringLiteral("NA"));
}
