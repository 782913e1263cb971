#include "sip/sipuser.h"

#include "sip/message/sipconstants.h"
#include "sip/sipusersetting.h"

#include <QVariant>

bool SipUser::m_IsStandalone = true;

namespace {

quint16 portOr5060(quint16 port)
{
    return port == 0 ? 5060 : port;
}

} // namespace

SipUser::SipUser(const QString &name, QObject *parent)
    : CoreObject(parent)
    , m_ContactUser(name)
    , m_ServerAddress(noAddress())
    , m_ClientAddress(noAddress())
{
    setObjectName(name);
}

quint64 SipUser::expires() const
{
    qint64 value = 0;
    if (m_IsStandalone)
        value = userSettingSigned(this, SipUserSetting::SipStandaloneExpires);
    else if (m_GrantedExpires != 0)
        return m_GrantedExpires;
    else
        value = userSettingSigned(this, SipUserSetting::SipServerExpires);
    return value < 0 ? 0 : quint64(value);
}

QString SipUser::localAddress() const
{
    const QObject *owner = parent();
    if (owner != nullptr && owner->inherits("Sip")) {
        const QVariant address = owner->property("localAddress");
        if (address.isValid() && !address.toString().isEmpty())
            return address.toString();
    }
    return m_ClientAddress;
}

quint64 SipUser::registerContact(const SipTransport::Type &transport, const QString &contactUser,
                                 const QString &contactParameters, const QString &callId,
                                 const QString &serverAddr, quint16 serverPort,
                                 const QString &clientAddr, quint16 clientPort)
{
    m_Transport = transport;
    m_ContactUser = contactUser;
    m_ContactParameters = contactParameters;
    m_ContactCallId = callId;
    m_ServerAddress = serverAddr;
    m_ServerPort = portOr5060(serverPort);
    m_ClientAddress = clientAddr;
    m_ClientPort = portOr5060(clientPort);
    return expires();
}

void SipUser::initServerConnection(SipTransport::Type transport, QString serverAddr,
                                   ushort serverPort, QString clientAddr, ushort clientPort)
{
    m_Transport = transport;
    m_ServerAddress = serverAddr;
    m_ServerPort = serverPort;
    m_ClientAddress = clientAddr;
    m_ClientPort = clientPort;
    m_ContactPort = clientPort;
}
