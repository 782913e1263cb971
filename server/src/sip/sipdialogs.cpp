// The engine's transactions: found through their index, created for new requests and for the
// requests the engine sends, and answered.
#include "sip/sip.h"

#include "sip/sipclientnoninvitedialog.h"
#include "sip/sipdialog.h"
#include "sip/sipdialogindex.h"
#include "sip/sipserverinvitedialog.h"
#include "sip/sipservernoninvitedialog.h"
#include "sip/sipuser.h"

SipDialog *Sip::findDialog(const QString &name) const
{
    return m_Dialogs && !name.isEmpty() ? m_Dialogs->find(name) : nullptr;
}

bool Sip::deliverToDialog(const QString &key, const SipMessage &message)
{
    SipDialog *dialog = findDialog(key);
    if (!dialog)
        return false;
    dialog->process(message);
    return true;
}

SipDialog *Sip::newServerDialog(const SipMessage &request)
{
    if (!m_Dialogs)
        m_Dialogs = new SipDialogIndex(this);
    SipDialog *dialog = nullptr;
    if (request.cseqMethod() == SipMethod::Invite)
        dialog = new SipServerInviteDialog(this, request);
    else
        dialog = new SipServerNonInviteDialog(this, request);
    connect(dialog, &SipDialog::sendDatagram, this, &Sip::sendDatagram, Qt::DirectConnection);
    return m_Dialogs->add(dialog);
}

void Sip::sendOnClientDialog(SipUser *user, const SipMessage &request)
{
    if (!m_Dialogs)
        m_Dialogs = new SipDialogIndex(this);
    auto *dialog = new SipClientNonInviteDialog(this, request);
    m_Dialogs->add(dialog);
    connect(dialog, &SipDialog::sendDatagram, this, &Sip::sendDatagram, Qt::DirectConnection);
    connect(user, &SipUser::userUnRegistered, dialog, &SipDialog::terminate, Qt::QueuedConnection);
    dialog->process(request);
}

void Sip::applyModeToDialogs()
{
    SipDialog::m_IsStandalone = m_IsStandalone;
    SipDialog::m_DefExtAddress = m_ExtAddress;
}

int Sip::liveDialogs() const
{
    return m_Dialogs ? m_Dialogs->size() : 0;
}

void sendDialogResponse(SipDialog *dialog, const SipStatus::Type &status)
{
    if (dialog)
        dialog->sendResponse(SipMessage(status, dialog->m_Request));
}

void sendDialogResponseWithBody(SipDialog *dialog, const SipStatus::Type &status,
                                const QString &contentType, const QByteArray &body)
{
    if (!dialog)
        return;
    SipMessage response(status, dialog->m_Request);
    response.setBody(contentType, body);
    dialog->sendResponse(response);
}
