// Gateway mode: every message from the outside server finds its transaction, or a new request
// opens one and is answered by the handler of its method.
#include "sip/sip.h"

#include "conversation/conversationthread.h"
#include "sip/sipclientinvitedialog.h"
#include "sip/sipclientnoninvitedialog.h"
#include "sip/sipserverinvitedialog.h"
#include "sip/sipservernoninvitedialog.h"
#include "sip/sipuser.h"

#include <QHostAddress>

void Sip::checkDatagramServer(SipTransport::Type transport, QString senderAddr, ushort senderPort,
                              QString receiverAddr, ushort receiverPort, QByteArray datagram)
{
    const SipMessage message(transport, QHostAddress(senderAddr), senderPort,
                             QHostAddress(receiverAddr), receiverPort, datagram);
    if (!message.isValid())
        return;
    const bool request = message.startLine.kind == 0;
    if (SipDialog *dialog = findDialog(message.transactionKey())) {
        if (!request && m_TypeExtAddress == SipExternalAddress::Auto) {
            const QString received = topViaReceivedAddress(message);
            if (!received.isEmpty())
                setExternalAddress(received);
        } else if (request
                   && (qobject_cast<SipClientInviteDialog *>(dialog)
                       || qobject_cast<SipClientNonInviteDialog *>(dialog))) {
            // One of the gateway's own requests came back through the server.
            const SipMessage loop(SipStatus::LoopDetected, message);
            emit sendDatagram(loop.transport, loop.receiverAddress, loop.receiverPort,
                              loop.toByteArray());
            return;
        }
        dialog->process(message);
        return;
    }
    if (!request)
        return;
    SipDialog *dialog = newServerDialog(message);
    if (refusedWhileStopping(dialog))
        return;
    switch (message.cseqMethod()) {
    case SipMethod::Invite:
        onInviteNewServer(qobject_cast<SipServerInviteDialog *>(dialog));
        return;
    case SipMethod::Ack:
        // A stray ACK is answered by nothing, so nothing would ever end its transaction.
        dialog->terminate();
        return;
    case SipMethod::Bye:
        onByeServer(qobject_cast<SipServerNonInviteDialog *>(dialog));
        return;
    case SipMethod::Cancel:
        onCancelServer(qobject_cast<SipServerNonInviteDialog *>(dialog));
        return;
    case SipMethod::Info:
        onInfoServer(qobject_cast<SipServerNonInviteDialog *>(dialog));
        return;
    default:
        sendDialogResponse(dialog, SipStatus::MethodNotAllowed);
        return;
    }
}

void Sip::onInviteNewServer(SipServerInviteDialog *dialog)
{
    if (!dialog)
        return;
    const SipMessage &request = dialog->m_Request;
    sendDialogResponse(dialog, SipStatus::Trying);
    const QString fromUser = request.from().address.user;
    SipUser *user = findUser(request.to().address.user);
    if (!user) {
        sendDialogResponse(dialog, SipStatus::NotFound);
        return;
    }
    if (!user->canBeCalled() || !user->isRegistered()) {
        sendDialogResponse(dialog, SipStatus::ServiceUnavailable);
        return;
    }
    const bool reInvite = !toTagOf(request).isEmpty();
    const bool control = user->typeUser() == SipUser::VelkAccount && user->isControl();
    if (!reInvite && !control && !user->isGroup() && user->isBusy()) {
        sendDialogResponse(dialog, SipStatus::BusyHere);
        return;
    }
    onInviteAccountServer(dialog, fromUser, user);
}

void Sip::onByeServer(SipServerNonInviteDialog *dialog)
{
    if (!dialog)
        return;
    const SipMessage &request = dialog->m_Request;
    ConversationThread *conversation = findConversation(request.callId());
    if (!conversation) {
        sendDialogResponse(dialog, SipStatus::CallTransactionDoesNotExist);
        return;
    }
    emit conversation->removeCaller(request.callId(), true);
    emit conversation->check();
    dialog->sendResponse(SipMessage(SipStatus::OK, request));
}

void Sip::onCancelServer(SipServerNonInviteDialog *dialog)
{
    if (!dialog)
        return;
    const SipMessage request = dialog->m_Request;
    auto *invite = qobject_cast<SipServerInviteDialog *>(
        findDialog(request.transactionKey(SipMethod::Invite)));
    // Without its INVITE's transaction there is nothing to cancel: a call answered long ago
    // goes on. One that had its final answer already changes nothing either.
    if (!invite) {
        sendDialogResponse(dialog, SipStatus::CallTransactionDoesNotExist);
        return;
    }
    if (invite->state() != SipDialog::Proceeding) {
        sendDialogResponse(dialog, SipStatus::OK);
        return;
    }
    if (ConversationThread *conversation = findConversation(request.callId())) {
        emit conversation->removeCaller(request.callId(), true);
        emit conversation->check();
        sendDialogResponse(dialog, SipStatus::OK);
    } else {
        sendDialogResponse(dialog, SipStatus::CallTransactionDoesNotExist);
    }
    sendDialogResponse(invite, SipStatus::RequestTerminated);
}

void Sip::onInfoServer(SipServerNonInviteDialog *dialog)
{
    if (!dialog)
        return;
    const SipMessage &request = dialog->m_Request;
    ConversationThread *conversation = findConversation(request.callId());
    if (!conversation) {
        sendDialogResponse(dialog, SipStatus::CallTransactionDoesNotExist);
        return;
    }
    char key = 0;
    uint duration = 0;
    if (request.dtmf(key, duration))
        emit conversation->appendSipInfo(DtmfType::Type(0), request.callId(),
                                         request.from().address.user, uchar(key), duration);
    sendDialogResponse(dialog, SipStatus::OK);
}
