#include "sip/sipexternaladdress.h"

#include "core/timescale.h"
#include "sip/message/sipmessage.h"

namespace {

const QString kReceived = QStringLiteral("received");
const QString kRport = QStringLiteral("rport");

} // namespace

int SipExternalAddress::modeFromText(const QString &text)
{
    const QString names[] = { QStringLiteral("direct"), QStringLiteral("auto"),
                              QStringLiteral("static"), QStringLiteral("stun") };
    for (int i = 0; i < 4; ++i) {
        if (text.compare(names[i], Qt::CaseInsensitive) == 0)
            return i;
    }
    return Unknown;
}

SipExternalAddress::SipExternalAddress(QObject *parent)
    : QObject(parent)
    , m_Pause(this)
{
    m_Pause.setSingleShot(true);
    connect(&m_Pause, &QTimer::timeout, this, &SipExternalAddress::finish);
}

void SipExternalAddress::reset(int mode, const QString &staticAddress)
{
    m_Mode = mode;
    m_Static = staticAddress;
    m_Address.clear();
    m_Learned.clear();
    m_Pending.clear();
    m_Withdrawn.clear();
    m_Pause.stop();
}

void SipExternalAddress::setConnection(const QString &clientAddress)
{
    if (m_Mode == Static)
        m_Address = m_Static;
    else if (m_Learned.isEmpty())
        m_Address = clientAddress;
    emit addressChanged(m_Address);
}

bool SipExternalAddress::change(const QString &address, const QStringList &registered)
{
    const QString target = m_Pause.isActive() ? m_Pending : m_Address;
    if (address.isEmpty() || address == target)
        return false;
    m_Pending = address;
    if (m_Pause.isActive())
        return true;
    for (const QString &user : registered)
        emit withdraw(user);
    m_Withdrawn = registered;
    m_Pause.start(TimeScale::toRealInt(PauseMs));
    return true;
}

bool SipExternalAddress::defer(const QString &user)
{
    if (!m_Pause.isActive())
        return false;
    if (!m_Withdrawn.contains(user))
        m_Withdrawn << user;
    return true;
}

void SipExternalAddress::finish()
{
    m_Address = m_Pending;
    if (m_Mode == Stun)
        m_Learned = m_Address;
    m_Pending.clear();
    emit addressChanged(m_Address);
    const QStringList users = m_Withdrawn;
    m_Withdrawn.clear();
    for (const QString &user : users)
        emit renew(user);
}

bool viaReceivedAddress(const QString &branch, const SipMessage &response, QString &address,
                        quint16 &port)
{
    const KBaseViaAddress<1> via = response.viaWithBranch(branch);
    const KParamValue &params = via.sentBy.parameters;
    if (!via.valid || !params.hasParam(kRport) || !params.hasParam(kReceived))
        return false;
    address = params.param(kReceived);
    port = quint16(params.param(kRport).toUInt());
    return true;
}

QString topViaReceivedAddress(const SipMessage &response)
{
    const KParamValue &params = response.topVia().sentBy.parameters;
    if (!params.hasParam(kRport))
        return QString();
    return params.param(kReceived).trimmed();
}
