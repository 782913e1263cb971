#include "sip/sip.h"

#include "common/codecs/audiocodec.h"
#include "conversation/conversationobject.h"
#include "conversation/conversationthread.h"
#include "core/env.h"
#include "core/modulehost.h"
#include "core/settingstext.h"
#include "core/timescale.h"
#include "sip/sipobject.h"
#include "sip/sipuser.h"
#include "sip/sipusersetting.h"

#include <QEventLoop>
#include <QNetworkInterface>

#include <algorithm>

namespace {

const qint64 kStopDelayMs = 1500;
// How long a hang-up waits for its conversation to go.
const qint64 kHangupWaitMs = 999;
const QString kWildcard = QStringLiteral("0.0.0.0");

int typeExtAddressFromText(const QString &text)
{
    if (text.isEmpty())
        return -1;
    const char *const names[] = { "direct", "auto", "static", "stun" };
    for (int i = 0; i < 4; ++i) {
        if (text.compare(QLatin1String(names[i]), Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

} // namespace

Sip::Sip(QObject *parent)
    : AttendedThread(parent)
    , m_SipUsers(Env::configFilePath(QStringLiteral("sip-users")), QSettings::IniFormat, this)
    , m_StopTimer(this)
    , m_External(this)
    , m_RegisterRetry(this)
    , m_WithdrawalRetry(this)
{
    qRegisterMetaType<SipConnectionState>("SipConnectionState");
    qRegisterMetaType<QAbstractSocket::SocketType>("QAbstractSocket::SocketType");
    qRegisterMetaType<QAbstractSocket::SocketError>("QAbstractSocket::SocketError");
    qRegisterMetaType<SipTransport::Type>("SipTransport::Type");
    qRegisterMetaType<SipMessage>("SipMessage");
    setObjectName(QStringLiteral("Sip"));
    m_SipUsers.setIniCodec("UTF-8");
    keepWrittenText(m_SipUsers, [](const QString &name) {
        return name == userSettingName(SipUserSetting::GroupList);
    });
    m_StopTimer.setSingleShot(true);
    connect(&m_StopTimer, &QTimer::timeout, this, &Sip::stopParent);
    connect(&m_External, &SipExternalAddress::withdraw, this,
            [this](const QString &user) { registerOnServer(user, false); });
    // A REGISTER still under way announces the old address: the new one replaces it.
    connect(&m_External, &SipExternalAddress::renew, this, [this](const QString &user) {
        dropRegister(user);
        registerOnServer(user, true);
    });
    connect(&m_External, &SipExternalAddress::addressChanged, this, [this](const QString &address) {
        m_ExtAddress = address;
        applyModeToDialogs();
    });
    connect(&m_RegisterRetry, &SipRetrySchedule::due, this,
            [this](const QString &user) { registerOnServer(user, true); });
    // One sent on a new connection meanwhile is under way already; before the module's first
    // connection stands, that connection sends it.
    connect(&m_WithdrawalRetry, &SipRetrySchedule::due, this, [this](const QString &callId) {
        const auto it = m_Withdrawals.constFind(callId);
        if (m_ServerConnected && it != m_Withdrawals.cend() && it->key.isEmpty())
            renewWithdrawal(callId);
    });
}

void Sip::init()
{
    // A stop still pending from an earlier run must not end this one.
    m_StopTimer.stop();
    m_Stopping = false;
    logLine(LogParams::Sip, QStringLiteral("Initialization"));
    writeDefaultSettings();
    m_Transport = SipTransport::Unset;
    m_ServerAddress.clear();
    m_ClientAddress.clear();
    m_ExtAddress.clear();
    m_ServerPort = m_ClientPort = 0;
    m_TypeExtAddress = 1;
    m_IsStandalone = settingBool(SipSetting::Standalone);

    ConversationObject::m_CallDuration = 0;
    if (settingBool(SipSetting::EnableCallDuration))
        ConversationObject::m_CallDuration = settingInt64(SipSetting::CallDuration);

    m_TypeExtAddress = typeExtAddressFromText(setting(SipSetting::TypeExtAddress));
    m_ExtAddressStatic = setting(SipSetting::ExtAddressStatic);
    m_ExtAddressStun = setting(SipSetting::ExtAddressStun);
    SipUser::m_IsStandalone = m_IsStandalone;
    applyModeToDialogs();
    AudioCodec::setCodecs({ setting(SipSetting::Codec1), setting(SipSetting::Codec2),
                            setting(SipSetting::Codec3), setting(SipSetting::Codec4) });

    if (m_IsStandalone)
        initStandalone();
    else
        initServer();
    initExternalAddress();
    loadUsers();
}

void Sip::initStandalone()
{
    m_TypeExtAddress = 0;
    m_StandaloneTransport = transportFromString(setting(SipSetting::ServerTransport));
    const QString bindAddress = setting(SipSetting::StandaloneBindAddress);
    // The wildcard stays in the file as written; the address it stands for is known in memory.
    m_LocalAddress = bindAddress == kWildcard ? firstInterfaceAddress(kWildcard) : bindAddress;
    auto *worker = new SipObject(settingBool(SipSetting::LogSip), int(m_StandaloneTransport),
                                 bindAddress, settingNumber(SipSetting::StandaloneBindPort));
    connect(this, &Sip::initTcpSocket, worker, &SipObject::initTcpSocket, Qt::QueuedConnection);
    connect(this, &Sip::releaseTcpSocket, worker, &SipObject::releaseTcpSocket,
            Qt::QueuedConnection);
    connect(worker, &SipObject::deInitTcpSocket, this, &Sip::deInitTcpSocket, Qt::QueuedConnection);
    connect(worker, &SipObject::setConnectionState, this, &Sip::setStandaloneConnectionState,
            Qt::QueuedConnection);
    connect(this, &Sip::sendDatagram, worker, &SipObject::sendDatagram, Qt::QueuedConnection);
    connect(worker, &SipObject::checkDatagram, this, &Sip::checkDatagramStandalone,
            Qt::QueuedConnection);
    setObject(worker);
}

void Sip::initServer()
{
    QString stun;
    if (m_TypeExtAddress == -1)
        m_TypeExtAddress = 1;
    else if (m_TypeExtAddress == 3)
        stun = m_ExtAddressStun.isEmpty() ? settingDefault(SipSetting::ExtAddressStun).toString()
                                          : m_ExtAddressStun;
    m_ServerTransport = transportFromString(setting(SipSetting::ServerTransport));
    auto *worker = new SipObject(
        settingBool(SipSetting::LogSip), m_ServerTransport, setting(SipSetting::ServerAddress),
        settingNumber(SipSetting::ServerPort), settingBool(SipSetting::ServerProxyUse),
        setting(SipSetting::ServerProxyAddress), settingNumber(SipSetting::ServerProxyPort),
        settingNumber(SipSetting::ServerBindPort), settingBool(SipSetting::ServerBindRandom), stun);
    connect(this, &Sip::initTcpSocket, worker, &SipObject::initTcpSocket, Qt::QueuedConnection);
    connect(worker, &SipObject::initServerConnection, this, &Sip::initServerConnection,
            Qt::QueuedConnection);
    connect(worker, &SipObject::setConnectionState, this, &Sip::setServerConnectionState,
            Qt::QueuedConnection);
    connect(this, &Sip::sendDatagram, worker, &SipObject::sendDatagram, Qt::QueuedConnection);
    connect(worker, &SipObject::checkDatagram, this, &Sip::checkDatagramServer,
            Qt::QueuedConnection);
    if (m_TypeExtAddress == SipExternalAddress::Stun && !stun.trimmed().isEmpty())
        connect(worker, &SipObject::stunServer, this, &Sip::stunServer, Qt::QueuedConnection);
    setObject(worker);
}

void Sip::deinit()
{
    emit unloadUsers();
    processEvents();
}

void Sip::stop()
{
    logLine(LogParams::Sip, QStringLiteral("Deinitialization"));
    m_Stopping = true;
    m_RegisterRetry.clear();
    // Nothing registers once the module stops, also when a withdrawal ends meanwhile.
    m_RegisterAfterWithdrawal.clear();
    m_External.reset(m_External.mode(), m_ExtAddressStatic);
    const QList<SipUser *> users = m_UserList;
    for (SipUser *user : users) {
        if (user->typeUser() == SipUser::VelkAccount)
            isDeviceRegisteredChanged(user->velkDeviceId(), false, QString());
        else
            registerOnServer(user->objectName(), false);
    }
    // Every call still held ends now, as a hang-up would, while the worker is there to send the
    // BYEs, CANCELs and final answers it owes the phones; each leaves its record.
    const QList<ConversationThread *> calls
        = findChildren<ConversationThread *>(QString(), Qt::FindDirectChildrenOnly);
    for (ConversationThread *call : calls)
        emit call->hangUp(false);
    // Nothing runs: stopped at once, so no timer is left to end a later start.
    if (!thread.isRunning()) {
        m_StopTimer.stop();
        stopParent();
        return;
    }
    m_StopTimer.start(TimeScale::toRealInt(kStopDelayMs));
}

void Sip::stopParent()
{
    // What is owed to the server lasts as long as the service: a restart of the module (a save)
    // sends it again once the connection stands, before any REGISTER of its name. Only the
    // service's own stop ends it.
    const ModuleHost *host = hostOf(this);
    if (!host || host->isStopping()) {
        m_Withdrawals.clear();
        m_ServerContacts.clear();
    }
    holdWithdrawals();
    m_WithdrawalRetry.clear();
    // A call that has not ended by now goes with the module: no relay thread or port outlives it.
    qDeleteAll(findChildren<ConversationThread *>(QString(), Qt::FindDirectChildrenOnly));
    AttendedThread::stop();
}

void Sip::sendMessage(SipMessage message)
{
    emit sendDatagram(message.transport, message.receiverAddress, message.receiverPort,
                      message.toByteArray());
}

void Sip::deInitTcpSocket(QString address, ushort port)
{
    m_LostTcp = qMakePair(address, quint16(port));
    // Legs that held it end without it, and it is not closed again once they are settled.
    const TcpConnection lost = tcpConnection(address, port);
    m_TcpConnections.remove(m_LostTcp);
    m_HeldTcp.removeAll(lost);
    const auto lose = [&](EndingLeg &leg) { leg.lost = leg.lost || leg.holds(lost); };
    std::for_each(m_EndingLegs.begin(), m_EndingLegs.end(), lose);
    std::for_each(m_AnsweringLegs.begin(), m_AnsweringLegs.end(), lose);
    const QList<SipUser *> users = m_UserList;
    for (SipUser *user : users) {
        if (user->isRegisteredOver(address, port))
            user->setRegistered(false);
    }
    m_LostTcp = {};
}

void Sip::onExcludeCallerFromConversation(QString conversationName, QString caller, bool normal)
{
    ConversationThread *conversation = findConversation(conversationName);
    if (!conversation)
        return;
    emit conversation->removeCallerAndBye(caller, normal);
    emit conversation->check();
}

void Sip::initServerConnection(SipTransport::Type transport, QString serverAddr, ushort serverPort,
                               QString clientAddr, ushort clientPort)
{
    m_Transport = transport;
    m_ServerAddress = serverAddr;
    m_ServerPort = serverPort;
    m_ClientAddress = clientAddr;
    m_ClientPort = clientPort;
    m_External.setConnection(clientAddr);
    const QList<SipUser *> users = m_UserList;
    // The connection to the server was lost and stands again (over TCP): what was written
    // meanwhile is gone, and every account that was or wanted to be registered registers anew
    // at once, groups as soon as they learn of the connection. At the first connection those
    // whose device reported registered while it was being made register, once each.
    QStringList again;
    // Those still owed, from a lost connection or from before a restart, go first.
    resendWithdrawals();
    if (m_ServerConnected) {
        for (SipUser *user : users) {
            const QString name = user->objectName();
            if (!user->isGroup()
                && (user->isRegistered() || pendingRegister(name)
                    || m_RegisterRetry.isPending(name)))
                again << name;
            dropRegister(name);
        }
    } else {
        again = m_RegisterOnConnection.values();
        again.sort();
        m_RegisterOnConnection.clear();
    }
    m_ServerConnected = true;
    for (SipUser *user : users)
        user->initServerConnection(transport, serverAddr, serverPort, clientAddr, clientPort);
    for (const QString &name : qAsConst(again))
        registerOnServer(name, true);
}

void Sip::hangupUser(const QString &userName, const QString &callKey)
{
    SipUser *user = findUser(userName);
    if (!user)
        return;
    const QString name = user->takeConversation(callKey);
    ConversationThread *conversation = findConversation(name);
    if (!conversation)
        return;
    emit conversation->removeCaller(callKey, true);
    emit conversation->check();
    // The device's next call must not meet this one's conversation: wait a little for it to
    // go, waking only when it does or the limit passes.
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(conversation, &QObject::destroyed, &loop, &QEventLoop::quit);
    limit.start(TimeScale::toRealInt(kHangupWaitMs));
    loop.exec();
}

void Sip::rejectUserCall(const QString &callerUserName, const QString &userName,
                         const QString &callKey, const QString &dialogName)
{
    SipUser *user = findUser(userName);
    if (!user)
        return;
    const QString name = user->takeConversation(callKey);
    if (SipUser *caller = findUser(callerUserName))
        caller->removeCaller(name);
    ConversationThread *conversation = findConversation(name);
    if (conversation) {
        // The refused leg leaves first: the call is recorded unanswered, as any other ending
        // before the answer; the rest go without a word, the caller is answered below.
        emit conversation->removeCaller(callKey, true);
        emit conversation->clearCallers();
    }
    if (!dialogName.isEmpty()) {
        if (SipDialog *dialog = findDialog(dialogName))
            sendDialogResponse(dialog, SipStatus::Decline);
    }
    if (conversation)
        emit conversation->check();
}

void Sip::sendByeToBranch(SipUser *user, const SipMessage &request)
{
    const QString key = request.transactionKey(SipMethod::Cancel);
    if ((!key.isEmpty() && findDialog(key)) || !user)
        return;
    sendOnClientDialog(user, SipMessage(request, static_cast<SipUser *>(nullptr)));
}

void Sip::sendCancelToBranch(SipUser *user, const SipMessage &invite)
{
    const QString key = invite.transactionKey(SipMethod::Cancel);
    if ((!key.isEmpty() && findDialog(key)) || !user)
        return;
    sendOnClientDialog(user, invite.makeCancel());
}

void Sip::sendReferNotify(SipUser *from, SipUser *to, const SipMessage &refer,
                          const SipStatus::Type &status)
{
    if (!from || !to || !isUsableUser(to))
        return;
    sendOnClientDialog(to, SipMessage(from, to, refer, status));
}

void Sip::setConnectionRecord(SipConnectionState state, QAbstractSocket::SocketType type,
                              QAbstractSocket::SocketError error, const QString &errorString)
{
    m_ConnectionState = state;
    m_SocketType = type;
    m_SocketError = error;
    m_ErrorString = errorString;
}

void Sip::setStandaloneConnectionState(QString, SipConnectionState state,
                                       QAbstractSocket::SocketType type,
                                       QAbstractSocket::SocketError error, QString errorString)
{
    if (state != m_ConnectionState) {
        m_ConnectionAddress = setting(SipSetting::StandaloneBindAddress);
        m_ConnectionPort = settingNumber(SipSetting::StandaloneBindPort);
        if (state == SipConnected && m_ConnectionAddress == kWildcard) {
            QStringList addresses;
            const QList<QHostAddress> all = QNetworkInterface::allAddresses();
            for (const QHostAddress &address : all) {
                if (address.protocol() == QAbstractSocket::IPv4Protocol)
                    addresses << address.toString();
            }
            m_ConnectionAddress
                = QStringLiteral("%1(%2)").arg(kWildcard, addresses.join(QLatin1Char(',')));
        }
    }
    setConnectionRecord(state, type, error, errorString);
}

void Sip::setServerConnectionState(QString addr, SipConnectionState state,
                                   QAbstractSocket::SocketType type,
                                   QAbstractSocket::SocketError error, QString errorString)
{
    if (state != m_ConnectionState) {
        QString text = settingBool(SipSetting::ServerProxyUse)
            ? setting(SipSetting::ServerProxyAddress)
            : setting(SipSetting::ServerAddress);
        text.remove(QLatin1Char(' '));
        m_ConnectionAddress = text == addr ? text : QStringLiteral("%1(%2)").arg(text, addr);
        m_ConnectionPort = settingNumber(SipSetting::ServerPort);
    }
    setConnectionRecord(state, type, error, errorString);
}

QString firstInterfaceAddress(const QString &fallback)
{
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &interface : interfaces) {
        const auto flags = interface.flags();
        if (!(flags & QNetworkInterface::IsUp) || !(flags & QNetworkInterface::IsRunning)
            || (flags & QNetworkInterface::IsLoopBack))
            continue;
        const QList<QNetworkAddressEntry> entries = interface.addressEntries();
        for (const QNetworkAddressEntry &entry : entries) {
            bool ok = false;
            if (entry.ip().toIPv4Address(&ok) != 0 && ok)
                return entry.ip().toString();
        }
    }
    return fallback;
}
