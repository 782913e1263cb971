#pragma once

#include "sip/sipdialog.h"

// One outgoing request other than INVITE: sent, retransmitted over UDP (Timer E), given up
// with a synthetic 408 (Timer F); every response goes to the engine through receiveResponse,
// and a final one ends the transaction after Timer K.
class SipClientNonInviteDialog : public SipDialog
{
    Q_OBJECT
public:
    SipClientNonInviteDialog(QObject *parent, const SipMessage &request);

    // The request starts the transaction; then its responses arrive here.
    void process(const SipMessage &msg) override;

public slots:
    // Before a final response the engine hears a synthetic 503.
    void terminate() override;

protected:
    void timerEvent(QTimerEvent *event) override;
};
