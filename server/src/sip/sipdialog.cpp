#include "sip/sipdialog.h"

#include "conversation/conversationthread.h"
#include "core/env.h"
#include "core/identifiers.h"
#include "core/timescale.h"

#include <QTimerEvent>

const qint64 TIMEOUT_CALL = 90;

bool SipDialog::m_IsStandalone = false;
QString SipDialog::m_DefExtAddress;

namespace {

const QString kTag = QStringLiteral("tag");

QString tagOf(const KBaseContactAddress<1> &address)
{
    return address.parameters.param(kTag, QString());
}

} // namespace

QString toTagOf(const SipMessage &msg)
{
    return tagOf(msg.to());
}

SipDialog::SipDialog(QObject *parent, const SipMessage &request)
    : QObject(parent)
    , m_Request(request)
{
    // Queued receivers of the signals (the engine's transport worker) need both types.
    static const bool registered
        = (qRegisterMetaType<SipMessage>("SipMessage"),
           qRegisterMetaType<SipTransport::Type>("SipTransport::Type"), true);
    Q_UNUSED(registered)
    setObjectName(QStringLiteral("%1_%2_%3")
                      .arg(methodName(request.cseqMethod()), QString::number(request.cseqNumber()),
                           request.callId()));
}

void SipDialog::setMessage(const SipMessage &msg, const bool &flag)
{
    m_LastMessage = msg;
    m_LastMessage.synthetic = msg.synthetic || flag;
    m_Request.dialogHeaders = m_LastMessage.headers;
}

void SipDialog::sendResponse(const SipMessage &) { }

void SipDialog::send(const SipMessage &msg)
{
    emit sendDatagram(msg.transport, msg.receiverAddress, msg.receiverPort, msg.toByteArray());
}

void SipDialog::setToTag(const QString &tag)
{
    if (m_UntaggedTo.isEmpty() && tagOf(m_Request.to()).isEmpty())
        m_UntaggedTo = m_Request.headerValue(SipHeader::To);
    m_Request.setToTag(tag);
    m_GivenToTag = tag;
}

SipMessage SipDialog::sentRequest() const
{
    SipMessage request = m_Request;
    if (!m_UntaggedTo.isEmpty())
        request.setHeader(SipHeader::To, m_UntaggedTo);
    return request;
}

bool SipDialog::isSameRequest(const SipMessage &msg)
{
    if (msg.callId() != m_Request.callId() || msg.from() != m_Request.from())
        return false;
    // A peer retransmits its request as it first sent it, so without the tag this transaction
    // gave out; only that tag may be missing.
    const KBaseContactAddress<1> to = msg.to();
    const bool untaggedRetransmission = !m_UntaggedTo.isEmpty() && tagOf(to).isEmpty()
        && to == KBaseContactAddress<1>(m_UntaggedTo);
    if (!untaggedRetransmission && to != m_Request.to())
        return false;
    if (msg.cseqNumber() < m_Request.cseqNumber())
        return false;
    // The retransmission refreshes the stored request, but neither the record of the last
    // response nor the tag given out.
    if (msg.cseqMethod() == m_Request.cseqMethod()) {
        const SipHeaderTable dialogHeaders = m_Request.dialogHeaders;
        m_Request = msg;
        m_Request.dialogHeaders = dialogHeaders;
        if (untaggedRetransmission)
            m_Request.setToTag(m_GivenToTag);
    }
    return true;
}

ConversationThread *SipDialog::conversation() const
{
    if (m_ConversationName.isEmpty() || !parent())
        return nullptr;
    return parent()->findChild<ConversationThread *>(m_ConversationName);
}

bool SipDialog::inRange(const SipStatus::Type &status, int low, int high)
{
    const int code = statusCodeText(status).toInt();
    return code >= low && code <= high;
}

void SipDialog::terminate()
{
    if (m_State != Terminated)
        setState(Terminated);
}

void SipDialog::intercept(const QString &, const QString &callid)
{
    if (callid != m_Request.callId())
        emit intercepted(sentRequest(), m_ConversationName, m_Partner);
}

void SipDialog::setState(int state)
{
    m_State = state;
    if (state == Terminated) {
        stopAllTimers();
        deleteLater();
    }
}

int SipDialog::startTimer(int kind, qint64 ms)
{
    stopTimer(kind);
    const int id = QObject::startTimer(TimeScale::toRealInt(ms), Qt::CoarseTimer);
    m_Timers.insert(kind, id);
    return id;
}

void SipDialog::stopTimer(int kind)
{
    const int id = m_Timers.value(kind);
    if (id == 0)
        return;
    killTimer(id);
    m_Timers.remove(kind);
}

void SipDialog::stopAllTimers()
{
    for (const int id : qAsConst(m_Timers)) {
        if (id != 0)
            killTimer(id);
    }
    m_Timers.clear();
}

int SipDialog::timerType(const QTimerEvent *event) const
{
    if (!event)
        return 0;
    for (auto it = m_Timers.cbegin(); it != m_Timers.cend(); ++it) {
        if (it.value() == event->timerId())
            return it.key();
    }
    return 0;
}

SipMessage SipDialog::withDialogToTag(const SipMessage &response)
{
    SipMessage copy = response;
    if (!toTagOf(copy).isEmpty())
        return copy;
    const QString requestTag = toTagOf(m_Request);
    if (!requestTag.isEmpty()) {
        copy.setToTag(requestTag);
        return copy;
    }
    copy.setToTag(randomHexId());
    setToTag(toTagOf(copy));
    return copy;
}

void SipDialog::reportSynthetic(const SipStatus::Type &status)
{
    setMessage(SipMessage(status, m_Request, QString(), QByteArray()), true);
    emit receiveResponse(m_LastMessage);
}

void SipDialog::endUnanswered(qint64 limitMs)
{
    logLine(LogParams::Sip,
            QStringLiteral("Transaction '%1' ended: no final response within %2 s")
                .arg(objectName())
                .arg(limitMs / 1000));
    setState(Terminated);
}
