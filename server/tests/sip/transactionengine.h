#pragma once

#include "core/timescale.h"
#include "sip/sipclientinvitedialog.h"
#include "sip/sipclientnoninvitedialog.h"
#include "sip/sipdialogindex.h"
#include "sip/sipserverinvitedialog.h"
#include "sip/sipservernoninvitedialog.h"

#include <QHostAddress>
#include <QPointer>

// Stands in for the SIP engine and the wire around the transactions: what they send is parsed
// back as the peer receives it; what the peer sends is parsed as the engine receives it and
// handed to the transaction of its key, or to a new server transaction; real final responses
// to an INVITE are acknowledged as the engine does.
class TransactionEngine : public QObject
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

    template<class T> T *start(const SipMessage &request)
    {
        T *dialog = open<T>(request);
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
