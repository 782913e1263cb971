// The calls a door device takes part in: rung by the SIP engine, placed by its rules, and the
// answers of the far end.
#include "core/env.h"
#include "core/identifiers.h"
#include "core/timescale.h"
#include "velk/velk.h"
#include "velk/velkdevice.h"
#include "velk/velkdevicesettings.h"
#include "velk/velkpacket.h"
#include "velk/velksipservices.h"

using Settings = VelkDeviceSettings;
namespace Key = VelkDeviceKey;

namespace {

// SIP status indexes the engine reports.
enum Status : int {
    Trying = 0,
    Ringing = 1,
    Forwarded = 2,
    Queued = 3,
    Progress = 4,
    Ok = 5,
    MovedTemporarily = 9,
    RequestTimeout = 20,
    TemporarilyUnavailable = 29,
    BusyHere = 35,
    ServiceUnavailable = 43,
    Decline = 48,
};

// Prompts of the device's audio worker.
enum Output : int {
    Nothing = 0,
    Conversation = 1,
    OutgoingCallPrompt = 3,
    IncomingCallPrompt = 4,
    ConnectCallPrompt = 5,
    NotAvailablePrompt = 7,
    BusyPrompt = 8,
    ErrorPrompt = 9,
    InfoAcceptPrompt = 10,
};

} // namespace

void VelkDevice::incomingCall(const QString &fromUser, const QString &toUser,
                              const QString &conversationName, const QString &callId, int flags,
                              const QString &uuid, const QString &fromCallId)
{
    offerIncomingCall(fromUser, toUser, conversationName, callId, flags, uuid, fromCallId, false);
}

void VelkDevice::incomingCallPaging(const QString &fromUser, const QString &toUser,
                                    const QString &conversationName, const QString &callId,
                                    int flags, const QString &uuid, const QString &fromCallId)
{
    offerIncomingCall(fromUser, toUser, conversationName, callId, flags, uuid, fromCallId, true);
}

void VelkDevice::offerIncomingCall(const QString &fromUser, const QString &toUser,
                                   const QString &conversationName, const QString &callId,
                                   int flags, const QString &uuid, const QString &fromCallId,
                                   bool paging)
{
    if (VelkSipServices *services = sip()) {
        if (m_State >= IncomingCallRequire && m_State <= IncomingCall)
            services->deviceHangup(m_IncomingToUser, m_IncomingCallId);
        else if (m_State >= OutgoingCallRequire && m_State <= OutgoingCall)
            services->deviceHangup(m_OutgoingAccount, m_OutgoingCallId);
    }
    setOutputType(Nothing, 0, QString(), 0, 0);
    emit setRecvFromDevice(false);
    changeState(IncomingCallRequire);
    m_IncomingFromUser = fromUser;
    m_IncomingToUser = toUser;
    m_IncomingConversation = conversationName;
    m_IncomingCallId = callId;
    m_IncomingFlags = flags;
    m_IncomingUuid = uuid;
    m_IncomingFromCallId = fromCallId;
    m_IncomingPaging = paging;
    m_RingAnswered = false;
    dropRingCommand();
    VelkPacket *packet
        = paging ? setOutputs(1, 1, 255) : setOutputs(1, (flags & Wiretap) ? 255 : 1, 1);
    m_RingCommand = packet;
    connect(packet, &VelkPacket::recvAnswer, this,
            paging ? &VelkDevice::recvAnswerIncomingCallPaging
                   : &VelkDevice::recvAnswerIncomingCall);
}

void VelkDevice::recvAnswerIncomingCall(int result, QByteArray, QByteArray)
{
    VelkSipServices *services = sip();
    if (!services)
        return;
    const auto respond = [&](int status) {
        return services->deviceRespond(m_IncomingFromUser, m_IncomingToUser, m_IncomingConversation,
                                       m_IncomingCallId, status);
    };
    if (m_State == Unregistered) {
        abandonRing();
        return;
    }
    if (m_State != IncomingCallRequire)
        return;
    if (result < 0) {
        m_RingAnswered = true;
        respond(RequestTimeout);
        changeState(Unregistered);
        return;
    }
    if (result > 0) {
        m_RingAnswered = true;
        respond(ServiceUnavailable);
        // The door's part ends with its refusal: a local call drops its leg without a word.
        emit setRecvFromDevice(false);
        setOutputType(Nothing, 0, QString(), 0, 0);
        setOutputs(255, 255, 255);
        changeState(Ready);
        return;
    }
    const bool answer = m_IncomingFlags & (AutoAnswer | Wiretap | Paging);
    if (!respond(answer ? Ok : Ringing)) {
        changeState(Ready);
        emit setRecvFromDevice(false);
        setOutputType(Nothing, 0, QString(), 0, 0);
        setOutputs(255, 255, 255);
        return;
    }
    if (!answer) {
        changeState(IncomingCallWaitAnswer);
        emit setRecvFromDevice(false);
        setOutputType(IncomingCallPrompt, 0, QString(), 0, 0);
        return;
    }
    changeState(IncomingCall);
    emit setRecvFromDevice(true);
    setOutputType(Conversation, 0, QString(), 0, 0);
    if (m_IncomingFlags & (AutoAnswer | Paging))
        QTimer::singleShot(TimeScale::toRealInt(500), this, &VelkDevice::playAutoAnswer);
    else
        QTimer::singleShot(TimeScale::toRealInt(500), this, &VelkDevice::playWiretapping);
}

void VelkDevice::abandonRing()
{
    VelkSipServices *services = sip();
    if (m_RingAnswered || !services)
        return;
    m_RingAnswered = true;
    if (m_IncomingPaging)
        services->deviceAcceptCaller(m_IncomingFromUser, m_IncomingToUser, m_IncomingConversation,
                                     m_IncomingCallId, ServiceUnavailable);
    else
        services->deviceRespond(m_IncomingFromUser, m_IncomingToUser, m_IncomingConversation,
                                m_IncomingCallId, ServiceUnavailable);
}

void VelkDevice::dropRingCommand()
{
    if (VelkPacket *packet = m_RingCommand.data())
        packet->discard();
    m_RingCommand.clear();
}

void VelkDevice::recvAnswerIncomingCallPaging(int result, QByteArray, QByteArray)
{
    VelkSipServices *services = sip();
    if (!services)
        return;
    if (m_State == Unregistered) {
        abandonRing();
        return;
    }
    // A paging ring the device refused or never confirmed leaves the call to the SIP side.
    if (m_State != IncomingCallRequire || result != 0)
        return;
    if (services->deviceAcceptCaller(m_IncomingFromUser, m_IncomingToUser, m_IncomingConversation,
                                     m_IncomingCallId, Ok)) {
        changeState(IncomingCall);
        emit setRecvFromDevice(true);
        setOutputType(Conversation, 0, QString(), 0, 0);
        QTimer::singleShot(0, this, &VelkDevice::playPaging);
    } else {
        changeState(Ready);
        emit setRecvFromDevice(false);
        setOutputType(Nothing, 0, QString(), 0, 0);
        setOutputs(255, 255, 255);
    }
}

void VelkDevice::callTerminated(const QString &callId, bool normal)
{
    const int endPrompt = normal ? BusyPrompt : NotAvailablePrompt;
    if (m_State >= IncomingCallRequire && m_State <= IncomingCall) {
        if (callId != m_IncomingCallId)
            return;
        emit setRecvFromDevice(false);
        if (m_State == IncomingCall && !(m_IncomingFlags & (Wiretap | Paging))) {
            setOutputType(endPrompt, 0, QString(), 0, 0);
            return;
        }
        setOutputType(Nothing, 0, QString(), 0, 0);
        setOutputs(255, 255, 255);
        changeState(Ready);
    } else if (m_State == OutgoingCallRequire || m_State == OutgoingCall) {
        if (callId != m_OutgoingCallId)
            return;
        emit setRecvFromDevice(false);
        if (m_State == OutgoingCall) {
            setOutputType(endPrompt, 0, QString(), 0, 0);
            return;
        }
        setOutputType(Nothing, 0, QString(), 0, 0);
        setOutputs(255, 255, 255);
        changeState(Ready);
    }
}

bool VelkDevice::outgoingCallAnswered(const QString &callId, int status,
                                      const QString &acceptCallId, const QString &adoptCallId)
{
    if (m_OutgoingCallId.isEmpty() && status != Ok)
        return true;
    if (m_State != OutgoingCallRequire)
        return m_State == IncomingCall || m_State == OutgoingCall;
    switch (status) {
    case MovedTemporarily:
        return true;
    case Progress:
    case Ok:
        if (m_OutgoingCallId.isEmpty())
            m_OutgoingCallId = adoptCallId.isEmpty() ? callId : adoptCallId;
        emit acceptCall(m_OutgoingUuid, acceptCallId);
        changeState(OutgoingCall);
        emit setRecvFromDevice(true);
        setOutputType(Conversation, 0, QString(), 0, 0);
        setOutputs(1, 1, 1);
        return true;
    case Trying:
        return false;
    case Ringing:
    case Forwarded:
    case Queued:
        setOutputType(OutgoingCallPrompt, 0, QString(), 0, 0);
        return true;
    case BusyHere:
    case TemporarilyUnavailable:
    case ServiceUnavailable:
    case Decline:
        setOutputType(BusyPrompt, 0, QString(), 0, 0);
        return true;
    case RequestTimeout:
        setOutputType(NotAvailablePrompt, 0, QString(), 0, 0);
        return true;
    default:
        if (status > Progress)
            setOutputType(ErrorPrompt, 0, QString(), 0, 0);
        return true;
    }
}

void VelkDevice::makeCall(int accountIndex, const QString &target)
{
    setOutputType(Nothing, 0, QString(), 0, 0);
    emit setRecvFromDevice(false);
    const QStringList accounts = Settings::stringListValue(this, accountIndex);
    const QString account = accounts.isEmpty() ? QString() : accounts.first().trimmed();
    VelkSipServices *services = sip();
    QString callee = target;
    const QStringList items = callee.split(QLatin1Char(','));
    if (services && !services->isStandaloneEngine() && items.size() > 1)
        callee = items.first();
    m_OutgoingAccount = account;
    m_OutgoingTarget = callee;
    m_OutgoingConversations.clear();
    if (callee.split(QLatin1Char(',')).size() > 1) {
        m_OutgoingCallId.clear();
        m_OutgoingUuid = randomHexId();
        const int result
            = services ? services->deviceCallList(this, account, callee, m_OutgoingUuid) : -1;
        if (result == 0) {
            changeState(OutgoingCallRequire);
            setOutputType(OutgoingCallPrompt, 0, QString(), 0, 0);
        } else {
            setOutputType(BusyPrompt, 0, QString(), 0, 0);
        }
    } else {
        m_OutgoingCallId = randomHexId();
        m_OutgoingUuid.clear();
        const int result
            = services ? services->deviceCall(this, account, callee, m_OutgoingCallId) : -2;
        if (result == 0) {
            changeState(OutgoingCallRequire);
            setOutputType(ConnectCallPrompt, 0, QString(), 0, 0);
        } else if (result == 10) {
            changeState(OutgoingCall);
            setOutputType(InfoAcceptPrompt, 0, QString(), 0, 0);
        } else {
            setOutputType(result == -1 ? BusyPrompt : NotAvailablePrompt, 0, QString(), 0, 0);
        }
    }
    logLine(LogParams::Velk,
            QStringLiteral("Device '%1' calls '%2' as '%3'").arg(objectName(), callee, account));
    setOutputs(1, 1, 255);
}

void VelkDevice::callRule(int accountIndex, int ruleIndex)
{
    const QStringList rule = Settings::stringListValue(this, ruleIndex);
    // The whole rule is the callee list: the first item alone would drop the list's members.
    makeCall(accountIndex, rule.join(QLatin1Char(',')).trimmed());
}

void VelkDevice::answerCallRequest(int result, int accountIndex, int ruleIndex)
{
    if (m_State != Ready)
        return;
    if (result == 0) {
        callRule(accountIndex, ruleIndex);
    } else if (result < 0) {
        changeState(Unregistered);
    } else {
        emit setRecvFromDevice(false);
        setOutputType(Nothing, 0, QString(), 0, 0);
    }
}

void VelkDevice::recvAnswerOutgoingCallButton(int result, QByteArray, QByteArray)
{
    answerCallRequest(result, Key::ButtonAccount, Key::ButtonCallRule);
}

void VelkDevice::recvAnswerOutgoingCallSensor1(int result, QByteArray, QByteArray)
{
    answerCallRequest(result, Key::Sensor1Account, Key::Sensor1CallRule);
}

void VelkDevice::recvAnswerOutgoingCallSensor2(int result, QByteArray, QByteArray)
{
    answerCallRequest(result, Key::Sensor2Account, Key::Sensor2CallRule);
}

void VelkDevice::intercept(QString uuid, QString callid)
{
    if (m_State != IncomingCallRequire && m_State != IncomingCallWaitAnswer)
        return;
    if (m_IncomingUuid.isEmpty() || m_IncomingUuid != uuid || m_IncomingCallId == callid)
        return;
    emit intercepted(m_IncomingConversation, m_IncomingFromUser, m_IncomingFromCallId);
    changeState(Ready);
    emit setRecvFromDevice(false);
    setOutputType(Nothing, 0, QString(), 0, 0);
    setOutputs(255, 255, 255);
}

void VelkDevice::onAppendConversation(QString name)
{
    m_OutgoingConversations.append(name);
}

void VelkDevice::onDeletingConversation(QString name)
{
    m_OutgoingConversations.removeOne(name);
    if (m_OutgoingCallId.isEmpty() && m_OutgoingConversations.isEmpty()
        && m_State == OutgoingCallRequire)
        setOutputType(BusyPrompt, 0, QString(), 0, 0);
}

void VelkDevice::endIncomingCall()
{
    dropRingCommand();
    if (VelkSipServices *services = sip())
        services->deviceHangup(m_IncomingToUser, m_IncomingCallId);
}

void VelkDevice::endOutgoingCall()
{
    if (m_OutgoingCallId.isEmpty()) {
        emit acceptCall(m_OutgoingUuid, QString());
        return;
    }
    if (VelkSipServices *services = sip())
        services->deviceHangup(m_OutgoingAccount, m_OutgoingCallId);
}
