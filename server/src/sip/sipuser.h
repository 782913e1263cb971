#pragma once

#include "core/coreobject.h"
#include "sip/message/siptransport.h"

#include <QString>

// One SIP account or local user, a child of the Sip module named by the user's name. Its
// settings are dynamic properties named by the per-user keys (sipusersetting.h); the fields
// below are where its SIP peer is: the outside server in gateway mode, the registered phone's
// binding in standalone mode. Lives in the core thread.
class SipUser : public CoreObject
{
    Q_OBJECT
public:
    enum Type { VelkAccount = 0, PlainAccount = 1, GroupAccount = 2 };

    explicit SipUser(const QString &name, QObject *parent = nullptr);

    // Registration expiry in seconds: "sip-standalone-expires" in standalone mode; in gateway
    // mode the server's granted value, else "sip-server-expires". Negative settings give 0.
    quint64 expires() const;
    // What a Contact advertises: the Sip parent's "localAddress" property, else the client
    // address.
    QString localAddress() const;

    // Standalone mode: stores the binding of an accepted REGISTER (ports of 0 count as 5060)
    // and returns expires().
    quint64 registerContact(const SipTransport::Type &transport, const QString &contactUser,
                            const QString &contactParameters, const QString &callId,
                            const QString &serverAddr, quint16 serverPort,
                            const QString &clientAddr, quint16 clientPort);

    static bool m_IsStandalone;

    // User part of the registered Contact URI; the user's name until a registration.
    QString m_ContactUser;
    // The ";" parameter text of the registered Contact URI.
    QString m_ContactParameters;
    QString m_ContactCallId;
    QString m_ServerAddress;
    quint16 m_ServerPort = 0;
    QString m_ClientAddress;
    quint16 m_ClientPort = 0;
    // The client port as a Contact advertises it.
    quint16 m_ContactPort = 0;
    SipTransport::Type m_Transport = SipTransport::UDP;
    quint64 m_GrantedExpires = 0;

public slots:
    // Gateway mode: the outside server and the local end of the connection to it.
    void initServerConnection(SipTransport::Type transport, QString serverAddr, ushort serverPort,
                              QString clientAddr, ushort clientPort);
};
