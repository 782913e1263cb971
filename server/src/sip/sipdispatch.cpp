// The operations door devices, conversations and the web call, each run by the body of the
// mode the module was started in, and the dispatch of received messages.
#include "sip/sip.h"

#include "conversation/conversationthread.h"
#include "core/env.h"
#include "sip/sipdialog.h"
#include "sip/sipuser.h"

#include <QHostAddress>

namespace {

// A door device's key code as a DTMF event: 10 is "0", 11 "*", 12 "#".
uchar dtmfEvent(uchar key)
{
    switch (key) {
    case 10:
        return 0;
    case 11:
        return 10;
    case 12:
        return 11;
    default:
        return key;
    }
}

} // namespace

int Sip::call(VelkDevice *device, const QString &callerUserName, const QString &calleeUserName,
              const QString &callKey)
{
    return m_IsStandalone ? callStandalone(device, callerUserName, calleeUserName, callKey)
                          : callServer(device, callerUserName, calleeUserName, callKey);
}

int Sip::callList(VelkDevice *device, const QString &callerUserName, const QString &calleeList,
                  const QString &callKey)
{
    return m_IsStandalone ? callListStandalone(device, callerUserName, calleeList, callKey) : -1;
}

int Sip::respondCall(const QString &fromUserName, const QString &toUserName,
                     const QString &dialogName, const QString &callKey,
                     const SipStatus::Type &status)
{
    return m_IsStandalone
        ? respondCallStandalone(fromUserName, toUserName, dialogName, callKey, status)
        : respondCallServer(fromUserName, toUserName, dialogName, callKey, status);
}

int Sip::acceptCaller(const QString &fromUserName, const QString &toUserName,
                      const QString &dialogName, const QString &callKey,
                      const SipStatus::Type &status)
{
    return m_IsStandalone
        ? acceptCallerStandalone(fromUserName, toUserName, dialogName, callKey, status)
        : acceptCallerServer(fromUserName, toUserName, dialogName, callKey, status);
}

void Sip::resultSipInfo(const QString &callKey, const QString &toUserName,
                        const SoundWavParam::Type &fromPlaySound, const QString &fromUserName,
                        const SoundWavParam::Type &toPlaySound)
{
    if (m_IsStandalone)
        resultSipInfoStandalone(callKey, toUserName, fromPlaySound, fromUserName, toPlaySound);
    else
        resultSipInfoServer(callKey, toUserName, fromPlaySound, fromUserName, toPlaySound);
}

void Sip::appendSipInfo(int, const QString &callKey, const QString &userName, const uchar &key,
                        const uint &duration)
{
    const uchar event = dtmfEvent(key);
    if (m_IsStandalone)
        appendSipInfoStandalone(callKey, userName, event, duration);
    else
        appendSipInfoServer(callKey, userName, event, duration);
}

void Sip::isDeviceRegisteredChanged(const int &device, const bool &state, const QString &dst)
{
    if (m_IsStandalone)
        isDeviceRegisteredChangedStandalone(device, state, dst);
    else
        isDeviceRegisteredChangedServer(device, state, dst);
}

void Sip::isDeviceRegisteredChanged(int device, bool state)
{
    isDeviceRegisteredChanged(device, state, QString());
}

void Sip::isDeviceBusyChanged(const int &device, const bool &state, const QString &dst)
{
    if (m_IsStandalone)
        isDeviceBusyChangedStandalone(device, state, dst);
    else
        isDeviceBusyChangedServer(device, state, dst);
}

void Sip::isDeviceBusyChanged(int device, bool state)
{
    isDeviceBusyChanged(device, state, QString());
}

void Sip::checkDatagramStandalone(SipTransport::Type transport, QString senderAddr,
                                  ushort senderPort, QString receiverAddr, ushort receiverPort,
                                  QByteArray datagram)
{
    // Where the worker could not tell the address a datagram came to, answers name the
    // interface address of the wildcard, never the wildcard itself.
    QHostAddress receiver(receiverAddr);
    if (receiver == QHostAddress(QHostAddress::AnyIPv4))
        receiver = QHostAddress(m_LocalAddress);
    dispatchMessage(SipMessage(transport, QHostAddress(senderAddr), senderPort, receiver,
                               receiverPort, datagram));
}

// A message of a live transaction goes to it (retransmissions, ACKs, responses to the
// engine's requests); a new request opens one; a response without one is dropped.
void Sip::dispatchMessage(const SipMessage &message)
{
    if (!message.isValid())
        return;
    const QString key = message.transactionKey();
    if (!key.isEmpty() && deliverToDialog(key, message))
        return;
    if (message.startLine.kind != 0) {
        acknowledgeStrayRefusal(message);
        return;
    }
    dispatchStandalone(message);
}

// A phone still ringing for an INVITE whose transaction has ended (its registration was renewed
// meanwhile) is cancelled all the same, and answers 487 with no transaction here to take it:
// unacknowledged, it would repeat that answer for half a minute. Only a local user's answer
// from where it registered is acknowledged, so no forged response turns this into a reflector.
void Sip::acknowledgeStrayRefusal(const SipMessage &response)
{
    if (response.cseqMethod() != SipMethod::Invite || response.statusClass < 3)
        return;
    const KBaseContactAddress<1> to = response.to();
    const SipUser *user = to.valid ? findLocalUser(to.address.user) : nullptr;
    const QStringList vias = response.headerValues(SipHeader::Via);
    if (!user || vias.isEmpty() || user->m_ClientAddress != response.senderAddress
        || user->m_ClientPort != response.senderPort)
        return;
    SipMessage ack(SipMethod::Ack, response.transport);
    // The INVITE's own target, the contact it went to, not whatever the To names.
    ack.setRequestUri(user->m_ContactUser, user->m_ClientAddress, user->m_ClientPort,
                      user->m_ContactParameters);
    ack.senderAddress = response.receiverAddress;
    ack.senderPort = response.receiverPort;
    ack.receiverAddress = response.senderAddress;
    ack.receiverPort = response.senderPort;
    ack.setHeader(SipHeader::Via, vias.first());
    ack.setHeader(SipHeader::From, response.headerValue(SipHeader::From));
    ack.setHeader(SipHeader::To, response.headerValue(SipHeader::To));
    ack.setHeader(SipHeader::CallID, response.callId());
    ack.setCSeq(response.cseqNumber(), SipMethod::Ack);
    sendMessage(ack);
}

void Sip::appendSipInfoStandalone(const QString &callKey, const QString &userName, uchar event,
                                  uint duration)
{
    SipUser *user = findUser(userName);
    ConversationThread *conversation
        = user ? findConversation(user->conversationCaller(callKey)) : nullptr;
    if (conversation)
        emit conversation->appendSipInfo(DtmfType::Type(0), callKey, userName, event, duration);
}

void Sip::isDeviceRegisteredChangedStandalone(int device, bool state, const QString &dst)
{
    const QList<SipUser *> users = deviceUsers(device, dst);
    for (SipUser *user : users)
        user->setRegistered(state);
}

void Sip::isDeviceRegisteredChangedServer(int device, bool state, const QString &dst)
{
    const QList<SipUser *> users = deviceUsers(device, dst);
    for (SipUser *user : users) {
        if (!m_ServerConnected) {
            if (state)
                m_RegisterOnConnection.insert(user->objectName());
            else
                m_RegisterOnConnection.remove(user->objectName());
        } else if (state && !user->isRegistered()) {
            askForRegistration(user);
        } else if (!state && user->isRegistered()) {
            user->setRegisterTimer(false, 0);
            user->setRegistered(false);
            registerOnServer(user->objectName(), false);
        }
    }
}

void Sip::isDeviceBusyChangedStandalone(int device, bool state, const QString &dst)
{
    const QList<SipUser *> users = deviceUsers(device, dst);
    for (SipUser *user : users)
        setAccountBusy(user, state);
}

void Sip::isDeviceBusyChangedServer(int device, bool state, const QString &dst)
{
    isDeviceBusyChangedStandalone(device, state, dst);
}

bool Sip::refusedWhileStopping(SipDialog *dialog)
{
    if (!m_Stopping || !dialog)
        return false;
    const SipMessage &request = dialog->m_Request;
    const SipMethod::Type method = request.cseqMethod();
    // A re-INVITE (hold, resume) belongs to a call the stop ends already.
    const bool newCall = method == SipMethod::Invite && toTagOf(request).isEmpty();
    if (!newCall && method != SipMethod::Refer)
        return false;
    logLine(LogParams::Sip,
            QStringLiteral("%1 from '%2' to '%3' refused: the SIP module is stopping")
                .arg(newCall ? QStringLiteral("Call") : QStringLiteral("Transfer"),
                     request.from().address.user, request.to().address.user));
    sendDialogResponse(dialog, SipStatus::ServiceUnavailable);
    return true;
}
