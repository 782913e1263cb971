// Registration of a SipUser: on the outside server in gateway mode, with the system itself in
// standalone mode.
#include "sip/sipuser.h"

#include "core/env.h"
#include "core/timescale.h"
#include "sip/sipusersetting.h"

#include <limits>

namespace {

// A registration is renewed this long before it expires, and never sooner than this.
const qint64 kRenewSeconds = 16;

quint16 portOr5060(quint16 port)
{
    return port == 0 ? 5060 : port;
}

// Arms the timer for a schedule of seconds x msPerSecond. QTimer counts in int milliseconds:
// a longer schedule waits as long as a QTimer can, so an enormous expiry still ends in a
// renewal instead of a timer that never starts.
void startSchedule(QTimer &timer, quint64 seconds, qint64 msPerSecond)
{
    const quint64 longest = quint64(std::numeric_limits<int>::max()) / quint64(msPerSecond);
    timer.start(TimeScale::toRealInt(qint64(qMin(seconds, longest)) * msPerSecond));
}

void logUser(const char *format, const QString &name)
{
    logLine(LogParams::Sip, QString::fromLatin1(format).arg(name));
}

} // namespace

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

void SipUser::setRegistered(const bool &reg)
{
    if (m_Registered == reg)
        return;
    m_Registered = reg;
    if (reg) {
        ++m_Registration;
        logUser("User '%1' register", objectName());
        return;
    }
    logUser("User '%1' unregister", objectName());
    // The calls end first: the engine keeps the connection being left until their BYE or
    // CANCEL is out. It removes each leg as it hears of it; take the map first so that nothing
    // it does meanwhile changes what is being walked.
    const QMap<QString, QString> calls = m_Conversations;
    m_Conversations.clear();
    for (auto it = calls.cbegin(); it != calls.cend(); ++it)
        emit excludeCallerFromConversation(it.value(), it.key(), false);
    if (m_IsStandalone) {
        m_RegisterTimer.stop();
        if (m_Transport == SipTransport::TCP)
            emit initTcpSocket(m_ClientAddress, m_ClientPort, false, objectName());
    }
    emit userUnRegistered(objectName());
}

void SipUser::loseRegistration()
{
    if (!m_Registered)
        return;
    m_Registered = false;
    logUser("User '%1' unregister", objectName());
}

void SipUser::setRegisterTimer(bool on, qint64 expires)
{
    if (m_IsStandalone)
        return;
    if (!on) {
        m_RegisterTimer.stop();
        return;
    }
    if (expires > 0)
        m_GrantedExpires = quint64(expires);
    const quint64 lifetime = this->expires();
    const quint64 renewAfter = lifetime > quint64(2 * kRenewSeconds)
        ? lifetime - quint64(kRenewSeconds)
        : quint64(kRenewSeconds);
    startSchedule(m_RegisterTimer, renewAfter, 1000);
}

void SipUser::timeoutRegister()
{
    if (!m_IsStandalone) {
        emit registerOnServer(objectName(), true);
        return;
    }
    logUser("User '%1' timeout register", objectName());
    setRegistered(false);
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
    if (!m_IsStandalone && typeUser() == GroupAccount)
        emit registerOnServer(objectName(), true);
}

quint64 SipUser::registerContact(const SipTransport::Type &transport, const QString &contactUser,
                                 const QString &contactParameters, const QString &callId,
                                 const QString &serverAddr, quint16 serverPort,
                                 const QString &clientAddr, quint16 clientPort)
{
    const bool compare = m_Registered || (m_IsStandalone && typeUser() == GroupAccount);
    if (compare) {
        const bool unchanged = contactUser == m_ContactUser && callId == m_ContactCallId
            && serverAddr == m_ServerAddress && portOr5060(serverPort) == portOr5060(m_ServerPort)
            && clientAddr == m_ClientAddress && portOr5060(clientPort) == portOr5060(m_ClientPort);
        if (unchanged) {
            logUser("User '%1' comfirmed register", objectName());
        } else {
            setRegistered(false);
            logUser("User '%1' re-register", objectName());
        }
    }
    if (m_IsStandalone) {
        // Expires when no new REGISTER comes within the expiry and a tenth.
        startSchedule(m_RegisterTimer, expires(), 1100);
    }
    m_Transport = transport;
    m_ContactUser = contactUser;
    m_ContactParameters = contactParameters;
    m_ContactCallId = callId;
    m_ServerAddress = serverAddr;
    m_ServerPort = portOr5060(serverPort);
    m_ClientAddress = clientAddr;
    m_ClientPort = portOr5060(clientPort);
    if (m_Transport == SipTransport::TCP)
        emit initTcpSocket(m_ClientAddress, m_ClientPort, true, objectName());
    setRegistered(true);
    return expires();
}
