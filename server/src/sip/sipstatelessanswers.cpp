// Stands in for the transactions while they are not built in: nothing is found, requests are
// answered statelessly and the engine's own requests are sent once.
#include "sip/sip.h"

SipDialog *Sip::findDialog(const QString &) const
{
    return nullptr;
}

bool Sip::deliverToDialog(const QString &, const SipMessage &)
{
    return false;
}

SipDialog *Sip::newServerDialog(const SipMessage &)
{
    return nullptr;
}

void Sip::respond(SipDialog *, const SipMessage &request, const SipStatus::Type &status)
{
    sendMessage(SipMessage(status, request));
}

void Sip::sendOnClientDialog(SipUser *, const SipMessage &request)
{
    sendMessage(request);
}

void Sip::applyModeToDialogs() { }

int Sip::liveDialogs() const
{
    return 0;
}

void sendDialogResponse(SipDialog *, const SipStatus::Type &) { }

void sendDialogResponseWithBody(SipDialog *, const SipStatus::Type &, const QString &,
                                const QByteArray &)
{
}
