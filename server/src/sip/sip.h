#pragma once

#include "common/sound/sound_wav/soundwavparam.h"
#include "core/attendedthread.h"
#include "sip/message/kbaseuri.h"
#include "sip/message/sipmessage.h"
#include "sip/sipconnectionstate.h"
#include "sip/sipexternaladdress.h"
#include "sip/sipnoncetable.h"
#include "sip/sipretryschedule.h"
#include "sip/sipsetting.h"
#include "velk/velksipservices.h"

#include <QAbstractSocket>
#include <QHash>
#include <QPointer>
#include <QSet>
#include <QSettings>
#include <QTimer>

#include <functional>
#include <optional>

class ConversationThread;
class SipClientInviteDialog;
class SipClientNonInviteDialog;
class SipDialog;
class SipServerInviteDialog;
class SipServerNonInviteDialog;
class SipDialogIndex;
class SipUser;
class VelkDevice;
struct SipLocalAudio;

// The SIP engine module. Lives in the core thread; its worker SipObject runs the sockets in the
// module's thread. It owns the SIP accounts, the transactions and the conversations of its
// calls, and every operation that door devices, conversations and the web call runs the body of
// the mode ("standalone") the module was started in. Accounts, transactions and conversations
// are found through indexes kept beside their object names, so a lookup costs the same with
// thousands of them alive.
class Sip : public AttendedThread, public VelkSipServices
{
    Q_OBJECT
    // The address a Contact of an account advertises (read by SipUser).
    Q_PROPERTY(QString localAddress READ localAddress)
public:
    explicit Sip(QObject *parent = nullptr);

    void init() override;
    void deinit() override;

    bool isStandalone() const { return m_IsStandalone; }
    QString localAddress() const { return m_IsStandalone ? m_LocalAddress : m_ExtAddress; }

    // Settings of the "sip" group.
    static QString settingName(const SipSetting::Type &key);
    static QVariant settingDefault(const SipSetting::Type &key);
    static int settingFromName(const QString &name);
    void setDefaultSetting(const SipSetting::Type &key, const QVariant &value);
    void writeDefaultSettings();
    quint16 settingNumber(const SipSetting::Type &key) const;
    bool settingBool(const SipSetting::Type &key) const;
    qint64 settingInt64(const SipSetting::Type &key) const;
    QString setting(const SipSetting::Type &key) const;
    // The web form of the settings; index is -1, or that of the one key the form switches. False
    // when the file could not be written.
    bool saveSettings(const QHash<QString, QString> &form, const int &index);

    // The account store ("sip-users").
    void loadUsers();
    SipUser *loadUser(const QString &name);
    // Both in the file on return: false when it could not be written, the change made all the
    // same.
    bool saveUser(const QString &name, const QHash<QString, QString> &form);
    bool deleteUser(const QString &name);
    bool userExists(const QString &name) const;
    SipUser *findUser(const QString &name) const;
    QList<SipUser *> users() const { return m_UserList; }
    QStringList userListText(const QString &first, const QString &second,
                             const QString &third) const;
    ConversationThread *findConversation(const QString &name) const;
    // Conversations of the engine's calls are found by name through this index.
    void trackConversation(ConversationThread *conversation);

    // What door devices and the web ask of the engine.
    // A door device's call as the account callerUserName: the call is the device's.
    int call(VelkDevice *device, const QString &callerUserName, const QString &calleeUserName,
             const QString &callKey);
    int callList(VelkDevice *device, const QString &callerUserName, const QString &calleeList,
                 const QString &callKey);
    int respondCall(const QString &fromUserName, const QString &toUserName,
                    const QString &dialogName, const QString &callKey,
                    const SipStatus::Type &status);
    int acceptCaller(const QString &fromUserName, const QString &toUserName,
                     const QString &dialogName, const QString &callKey,
                     const SipStatus::Type &status);
    void resultSipInfo(const QString &callKey, const QString &toUserName,
                       const SoundWavParam::Type &fromPlaySound, const QString &fromUserName,
                       const SoundWavParam::Type &toPlaySound);
    void appendSipInfo(int device, const QString &callKey, const QString &userName,
                       const uchar &key, const uint &duration);
    void hangupUser(const QString &userName, const QString &callKey);
    void rejectUserCall(const QString &callerUserName, const QString &userName,
                        const QString &callKey, const QString &dialogName);
    void sendByeToBranch(SipUser *user, const SipMessage &request);
    void sendCancelToBranch(SipUser *user, const SipMessage &invite);
    void sendReferNotify(SipUser *from, SipUser *to, const SipMessage &refer,
                         const SipStatus::Type &status);

    // What the door devices ask of the engine.
    bool isStandaloneEngine() const override { return m_IsStandalone; }
    int deviceCall(VelkDevice *device, const QString &callerUser, const QString &callee,
                   QString &callKey) override;
    int deviceCallList(VelkDevice *device, const QString &callerUser, const QString &callees,
                       const QString &callKey) override;
    bool deviceRespond(const QString &fromUser, const QString &toUser, const QString &dialogName,
                       const QString &callKey, int status) override;
    bool deviceAcceptCaller(const QString &fromUser, const QString &toUser,
                            const QString &dialogName, const QString &callKey, int status) override;
    void deviceHangup(const QString &user, const QString &callKey) override;
    void deviceReject(const QString &callerUser, const QString &user, const QString &callKey,
                      const QString &dialogName) override;
    void deviceDtmf(int device, const QString &callKey, const QString &user, uchar key,
                    uint duration) override;
    void resultSipInfo(const QString &callKey, const QString &caller, int devicePrompt,
                       const QString &deviceUser, int callerPrompt) override;
    void callIntercepted(const QString &conversationName, const QString &userName,
                         const QString &callId) override;

    // The connection record the web pages show.
    SipConnectionState connectionState() const { return m_ConnectionState; }
    QAbstractSocket::SocketType socketType() const { return m_SocketType; }
    QAbstractSocket::SocketError socketError() const { return m_SocketError; }
    QString errorString() const { return m_ErrorString; }
    QString connectionAddress() const { return m_ConnectionAddress; }
    quint16 connectionPort() const { return m_ConnectionPort; }
    int typeExtAddress() const { return m_TypeExtAddress; }
    QString extAddress() const { return m_ExtAddress; }
    int liveDialogs() const;

    // Gateway mode: the answer to the outside server's challenge, and the announced address.
    QString digestAuthorization(const SipHeader::Type &challengeHeader, const SipMessage &request,
                                const SipMessage &response, const QString &login,
                                const QString &password);
    void setExternalAddress(const QString &address);
    // Shared by every account and nonce; the "nc" of the next answer with qop.
    static quint64 NonceCount;

signals:
    void unloadUsers();
    void sendDatagram(SipTransport::Type transport, QString receiverAddr, ushort receiverPort,
                      QByteArray datagram);
    // connection: the id the connection is known by, which a later close or release names.
    void initTcpSocket(QString addr, ushort port, bool init, QString user, quint64 connection);
    // The last account left a connection that is kept: it is judged like any other again.
    void releaseTcpSocket(QString addr, ushort port, quint64 connection);

public slots:
    // Unregisters the users first; the thread itself is stopped 1500 ms later.
    void stop() override;
    void stopParent();
    void isDeviceRegisteredChanged(const int &device, const bool &state, const QString &dst);
    void isDeviceRegisteredChanged(int device, bool state) override;
    void isDeviceBusyChanged(const int &device, const bool &state, const QString &dst);
    void isDeviceBusyChanged(int device, bool state) override;
    void sendMessage(SipMessage message);
    // The peer closed a connection: every account registered over it is unregistered.
    void deInitTcpSocket(QString address, ushort port);
    void onExcludeCallerFromConversation(QString conversationName, QString caller, bool normal);
    void checkDatagramStandalone(SipTransport::Type transport, QString senderAddr,
                                 ushort senderPort, QString receiverAddr, ushort receiverPort,
                                 QByteArray datagram);
    void setStandaloneConnectionState(QString addr, SipConnectionState state,
                                      QAbstractSocket::SocketType type,
                                      QAbstractSocket::SocketError error, QString errorString);
    void checkDatagramServer(SipTransport::Type transport, QString senderAddr, ushort senderPort,
                             QString receiverAddr, ushort receiverPort, QByteArray datagram);
    void registerOnServer(QString userName, bool reg);
    void onReceiveResponseRegister(SipMessage response);
    void stunServer(QString serverAddr);
    void setServerConnectionState(QString addr, SipConnectionState state,
                                  QAbstractSocket::SocketType type,
                                  QAbstractSocket::SocketError error, QString errorString);
    void initServerConnection(SipTransport::Type Transport, QString serverAddr, ushort serverPort,
                              QString clientAddr, ushort clientPort);
    // Gateway calls: answers to the INVITEs, BYEs and CANCELs sent through the outside server,
    // and what the conversations of those calls report.
    void onReceiveResponseInviteServer(SipMessage response);
    void onReceiveResponseNonInviteServer(SipMessage msg);
    void onLastByeServer(SipMessage invite, QString toUser, bool normal);
    void onLastCancelServer(SipMessage invite, QString toUser, bool normal);
    void onSendSipInfoServer(QString conversationName, SipMessage invite, QString fromUserName,
                             QString toUserName, uchar event, uint duration);
    void onSendSipInfoGatewayControl(QString conversationName, SipMessage invite,
                                     QString fromUserName, QString toUserName, uchar event,
                                     uint duration);

    // The local server (standalone mode): responses to its INVITEs and requests, and what its
    // conversations report.
    void onReceiveResponseInvite(SipMessage response);
    void onInviteTimeoutCall(SipMessage response);
    void onLastByeStandalone(SipMessage invite, QString toUserName, bool normal);
    void onLastCancelStandalone(SipMessage invite, QString toUserName, bool normal);
    void onMoveCallerStandalone(QString conversationName, QString userName, SipMessage invite);
    void onSendSipInfoStandalone(QString conversationName, SipMessage invite, QString fromUserName,
                                 QString toUserName, uchar event, uint duration);
    void onSendSipInfoStandaloneControl(QString conversationName, SipMessage invite,
                                        QString fromUserName, QString toUserName, uchar event,
                                        uint duration);
    // Branches of a door's call to a list of accounts: their responses, and the release of a
    // branch once the door took another (callerLeg: the door's own leg in that branch).
    void onReceiveResponseInviteMulti(SipMessage response);
    void onIntercepted(SipMessage invite, QString conversationName, QString callerLeg);

public:
    // The local server's registrar and request authentication.
    bool checkDigestAuthorization(const SipMessage &request, const QString &login,
                                  const QString &password) const;
    SipUser *authorizeRequestStandalone(SipDialog *dialog);
    void onRegisterStandalone(SipDialog *dialog);
    quint32 registerUserStandalone(SipUser *user, const SipMessage &request);
    // The local server's request handlers.
    void onInviteNewStandalone(SipDialog *dialog);
    void onReInviteStandalone(SipDialog *dialog, SipUser *caller);
    void onInviteUserStandalone(SipDialog *dialog, SipUser *caller, SipUser *callee);
    void onInviteControlStandalone(SipDialog *dialog, SipUser *caller, SipUser *callee);
    void onInviteGroupStandalone(SipDialog *dialog, SipUser *caller, SipUser *group);
    void onByeStandalone(SipDialog *dialog);
    void onCancelStandalone(SipDialog *dialog);
    void onInfoStandalone(SipDialog *dialog);
    void onMessageStandalone(SipDialog *dialog);
    void onReferStandalone(SipDialog *dialog);
    const SipNonceTable &nonces() const { return m_Nonces; }

private:
    void dispatchStandalone(const SipMessage &message);
    // Once the stop has begun a new call or transfer is refused with 503: the calls the stop
    // ends are those up when it began, and one set up later would be left without an end.
    bool refusedWhileStopping(SipDialog *dialog);
    // An account asks for its TCP connection or leaves it; left, it is closed when no other
    // account is registered over it, and while a REGISTER is applied only once it is answered.
    void onUserTcpSocket(const QString &addr, quint16 port, bool init, const QString &user);
    bool accountOverTcp(const QString &addr, quint16 port) const;
    // A connection accounts registered over: the peer it is named after, and the id it was
    // given then, so that its close reaches it and never a later one from that peer.
    struct TcpConnection
    {
        QString address;
        quint16 port = 0;
        quint64 id = 0;
        bool operator==(const TcpConnection &other) const
        {
            return id == other.id && port == other.port && address == other.address;
        }
    };
    TcpConnection tcpConnection(const QString &addr, quint16 port) const;
    // Left by its accounts: a later registration from that peer comes over another one.
    void forgetTcpConnection(const TcpConnection &connection);
    // The connections left while applying request: the one it came on is kept.
    void settleLeftTcp(const SipMessage &request);
    // A connection no account is registered over any more is closed, once the BYEs and
    // CANCELs of the calls of the accounts that left it are out.
    void closeLeftTcp(const TcpConnection &connection);
    // An account going away (standalone) ends its calls: each leg the conversation hands back
    // is ended from the account as it was, registered or not, deleted or not.
    struct EndingLeg
    {
        QPointer<SipUser> user;
        QString conversation;
        // The TCP connection the account leaves; port 0 for none. Lost: reported closed, so
        // nothing can be sent over it, and it is neither held nor closed again.
        QString address;
        quint16 port = 0;
        quint64 connection = 0;
        bool lost = false;
        // The registration the leg was made on: the only one its request's time-out may end.
        quint64 registration = 0;
        std::optional<quint64> endsOnTimeout() const
        {
            return user.isNull() ? std::nullopt : std::optional<quint64>(registration);
        }
        // Keeps that connection open until the leg is settled.
        bool holds(const TcpConnection &tcp) const
        {
            return !lost && port != 0 && tcp == TcpConnection { address, port, connection };
        }
    };
    void noteEndingLeg(SipUser *user, const QString &conversation, const QString &leg);
    bool hasEndingLeg(const std::function<bool(const EndingLeg &)> &match) const;
    // After its BYE or CANCEL went out: the connection it held closes, a deleted account goes.
    void settleEndingLeg(const EndingLeg &leg);
    // The leg is settled once the request sent to end it has its final answer, or its
    // transaction is over: the connection waits for that answer.
    void settleEndingLegAfter(SipDialog *dialog, const EndingLeg &leg);
    // Whether the leg's request can go out; logs why not.
    bool canEndLeg(const EndingLeg &leg, const char *method) const;
    // Answers 401 with a new nonce; stale when the credentials were right but their nonce not.
    void challenge(SipDialog *dialog, bool stale);
    // 0 good, 1 wrong credentials, 2 right credentials on a nonce not good for this request.
    int digestVerdict(const SipMessage &request, SipUser *account);
    // The account a From or To of a local call names: by account name, else by the user part of
    // the Contact it registered (the callee's side of a forwarded call knows only that).
    SipUser *findLocalUser(const QString &name) const;
    // The party on the other side of sender's leg: the one its dialog names while still in the
    // call, else the only other one there (whom a transfer put in its place).
    SipUser *partyInCall(const ConversationThread *conversation, const SipUser *sender,
                         const QString &named) const;
    // In-call BYE and INFO: from the sender's own leg, or with its digest; else answered here.
    bool acceptInCall(SipDialog *dialog, SipUser *sender);
    // Whether an in-dialog request really comes from the leg of the sender's call it names.
    bool isFromOwnLeg(SipUser *sender, const SipMessage &request) const;
    void rememberLegSource(const QString &callId, const QString &conversation,
                           const QString &address, quint16 port);
    ConversationThread *createStandaloneConversation(SipDialog *dialog, int type, bool video);
    ConversationThread *createNamedConversation(const QString &name, int type, bool video);
    // Calls of door devices: their legs, the answers to them and the keys they are sent.
    // device: the door that placed the call, whose leg it sets up whatever door the caller
    // account names.
    int callStandaloneKey(VelkDevice *device, const QString &caller, const QString &callee,
                          QString &callKey);
    int callSipUserStandalone(VelkDevice *device, SipUser *caller, SipUser *callee,
                              const QString &callKey);
    int callDeviceStandalone(VelkDevice *device, SipUser *caller, SipUser *callee,
                             const QString &callKey);
    int callGroupStandalone(VelkDevice *device, SipUser *caller, SipUser *group, QString &callKey);
    void connectDeviceConversation(ConversationThread *conversation, bool control);
    // With video the leg carries the user's camera.
    void addDeviceLeg(ConversationThread *conversation, SipUser *user, VelkDevice *device,
                      const QString &legId, int direction, bool audioBack, bool video = false);
    // multi: a branch of a list call, released when the door takes another.
    bool inviteForDevice(ConversationThread *conversation, SipUser *caller, SipUser *callee,
                         const QString &legId, bool multi);
    void wireBranch(SipDialog *client, VelkDevice *device);
    void receiveInviteResponse(const SipMessage &response, bool multi);
    void onDeviceCallResponse(SipDialog *client, const SipMessage &response,
                              ConversationThread *conversation, SipUser *caller, SipUser *callee,
                              bool multi);
    // The answer of a door rung by another door's call (or handed one by a transfer).
    int respondDoorToDoor(SipUser *caller, SipUser *callee, ConversationThread *conversation,
                          const QString &callKey, const SipStatus::Type &status);
    // legId is the device's leg the key went to; dialplanCallId names the device's call to its
    // dial plan ("control" for its keypad channel).
    void deliverKeyToDevice(ConversationThread *conversation, const QString &legId,
                            const QString &dialplanCallId, const QString &fromUserName,
                            SipUser *user, uchar event);
    // The door device the account's leg was set up with, whatever door the account names since;
    // null when it is gone, or for no account.
    VelkDevice *legDevice(const QString &legId, const SipUser *user) const;
    // A door account is busy while the door it names now is (doorBusy), and while one of its
    // legs is still in a call on another door (one it left, or a panel whose button placed the
    // call). Set again whenever either changes: its door's state, a move, a leg set up, a leg
    // leaving its call.
    void setAccountBusy(SipUser *user, bool doorBusy);
    // The same, with the busy state of the door the account names now.
    void refreshAccountBusy(SipUser *user);
    // What the door and the one who keyed hear of the door's answer to a key: for a relay
    // code, once the panel has answered its command.
    static std::function<void(int)> keyPrompts(ConversationThread *conversation,
                                               const QString &legId, const QString &doorUser,
                                               const QString &fromUserName);
    static int deviceFlags(const SipUser *user);
    SipDialog *startClientInvite(SipUser *callee, const SipMessage &invite,
                                 const QString &conversation);
    // The request's transaction; null when none was started. Watched, its time-out ends the
    // registration given, by default the account's current one.
    SipDialog *sendOnUserDialog(SipUser *user, const SipMessage &request, bool watchResponse,
                                std::optional<quint64> registration = std::nullopt);
    // serverDialog: the calling phone's transaction; null when a door called.
    bool redirectStandalone(SipDialog *clientDialog, SipDialog *serverDialog,
                            const SipMessage &response, SipUser *caller, SipUser *callee,
                            bool multi);
    void relayToCaller(SipDialog *clientDialog, ConversationThread *conversation,
                       SipStatus::Type status);
    bool ringDoorDevice(SipUser *caller, SipUser *callee, ConversationThread *conversation,
                        const QString &dialogName, int flags, bool video);

    void initStandalone();
    void initServer();
    void dispatchMessage(const SipMessage &message);
    void acknowledgeStrayRefusal(const SipMessage &response);
    void setConnectionRecord(SipConnectionState state, QAbstractSocket::SocketType type,
                             QAbstractSocket::SocketError error, const QString &errorString);
    QList<SipUser *> deviceUsers(int device, const QString &dst) const;
    void indexUser(SipUser *user);

    // Mode bodies of the operations above.
    int callStandalone(VelkDevice *device, const QString &caller, const QString &callee,
                       const QString &callKey);
    int callServer(VelkDevice *device, const QString &caller, const QString &callee,
                   const QString &callKey);
    int callListStandalone(VelkDevice *device, const QString &caller, const QString &callees,
                           const QString &callKey);
    int respondCallStandalone(const QString &from, const QString &to, const QString &dialogName,
                              const QString &callKey, const SipStatus::Type &status);
    int respondCallServer(const QString &from, const QString &to, const QString &dialogName,
                          const QString &callKey, const SipStatus::Type &status);
    int acceptCallerStandalone(const QString &from, const QString &to, const QString &dialogName,
                               const QString &callKey, const SipStatus::Type &status);
    int acceptCallerServer(const QString &from, const QString &to, const QString &dialogName,
                           const QString &callKey, const SipStatus::Type &status);
    void resultSipInfoStandalone(const QString &callKey, const QString &toUserName,
                                 const SoundWavParam::Type &fromPlaySound,
                                 const QString &fromUserName,
                                 const SoundWavParam::Type &toPlaySound);
    void resultSipInfoServer(const QString &callKey, const QString &toUserName,
                             const SoundWavParam::Type &fromPlaySound, const QString &fromUserName,
                             const SoundWavParam::Type &toPlaySound);
    void appendSipInfoStandalone(const QString &callKey, const QString &userName, uchar event,
                                 uint duration);
    void appendSipInfoServer(const QString &callKey, const QString &userName, uchar event,
                             uint duration);
    void isDeviceRegisteredChangedStandalone(int device, bool state, const QString &dst);
    void isDeviceRegisteredChangedServer(int device, bool state, const QString &dst);
    void isDeviceBusyChangedStandalone(int device, bool state, const QString &dst);
    void isDeviceBusyChangedServer(int device, bool state, const QString &dst);

    // The transactions: the live one a message belongs to, new server transactions and the
    // answers given on them, client transactions for requests the engine sends.
    SipDialog *findDialog(const QString &name) const;
    bool deliverToDialog(const QString &key, const SipMessage &message);
    SipDialog *newServerDialog(const SipMessage &request);
    void sendOnClientDialog(SipUser *user, const SipMessage &request);
    void applyModeToDialogs();

    // Gateway mode: requests from the outside server and the registration on it.
    void onInviteNewServer(SipServerInviteDialog *dialog);
    void onByeServer(SipServerNonInviteDialog *dialog);
    void onCancelServer(SipServerNonInviteDialog *dialog);
    void onInfoServer(SipServerNonInviteDialog *dialog);
    void onInviteAccountServer(SipServerInviteDialog *dialog, const QString &fromUser,
                               SipUser *user);
    void onReInviteServer(SipServerInviteDialog *dialog, SipUser *user);
    void onInviteDeviceUserServer(SipServerInviteDialog *dialog, const QString &caller,
                                  SipUser *user);
    void onInviteControlServer(SipServerInviteDialog *dialog, const QString &caller, SipUser *user);
    void onInviteGroupServer(SipServerInviteDialog *dialog, const QString &caller, SipUser *group);
    ConversationThread *incomingConversation(SipServerInviteDialog *dialog, const QString &caller,
                                             SipUser *user, int type, bool control,
                                             SipLocalAudio &offer);
    void answerAtOnce(SipServerInviteDialog *dialog, ConversationThread *conversation,
                      SipUser *user, const SipLocalAudio &offer);
    int answerIncomingServer(const QString &name, const QString &dialogName, const QString &callKey,
                             const SipStatus::Type &status);
    void addGatewayDeviceLeg(ConversationThread *conversation, SipUser *user, VelkDevice *device,
                             const QString &callKey, int direction, bool audioBack);
    ConversationThread *createGatewayConversation(const QString &name, int type, bool video,
                                                  bool control);
    SipClientInviteDialog *startGatewayInvite(const SipMessage &invite, const QString &conversation,
                                              const QString &callKey);
    bool addCredentials(SipMessage &request, SipMethod::Type method, const SipMessage &response,
                        const QString &login, const QString &password);
    // The request as a new transaction of its own: new CSeq and branch, no To tag.
    static void renewRequest(SipMessage &request, SipMethod::Type method);
    bool retryInviteWithCredentials(SipClientInviteDialog *dialog, SipUser *user,
                                    const SipMessage &response);
    bool takeGatewayResponse(SipClientInviteDialog *dialog, const SipMessage &response);
    void endGatewayAnswer(SipClientInviteDialog *dialog);
    void sendGatewayRequest(SipUser *user, const SipMessage &request, bool watch);
    void lostServer(SipUser *user, const SipMessage &response);
    void deliverGatewayKey(const QString &conversationName, const SipMessage &invite,
                           const QString &fromUserName, const QString &toUserName, uchar event,
                           uint duration, bool control);
    SipClientNonInviteDialog *startRegister(const SipMessage &request);
    void sendRegister(SipUser *user, const SipMessage &request, int staleAnswers = 0);
    void answerChallenge(SipUser *user, const SipMessage &response, int staleAnswers);
    // A REGISTER that removes a binding. Its challenge is answered with the credentials it went
    // out with: the account may be gone by then. It is kept until the server answers it.
    void sendWithdrawal(const SipMessage &request, const QString &login, const QString &password);
    // The withdrawal of that Call-ID goes out on a new transaction, its request as it stands.
    void startWithdrawal(const QString &callId);
    void answerWithdrawal(const SipMessage &response);
    // The withdrawal goes again as a new request, without the credentials of an old nonce.
    void renewWithdrawal(const QString &callId);
    static SipMessage singleWithdrawal(const SipMessage &withdrawal, const QString &contact);
    bool isWithdrawing(const QString &name) const;
    void resendWithdrawals();
    // Ends the withdrawals' transactions unheard: the worker they went to is gone.
    void holdWithdrawals();
    // A request kept or renewed goes to the server over the connection that stands now, naming
    // that connection's end as its sender (Via, and the Contact of a request in a call).
    void addressToServer(SipMessage &request) const;
    // The account's REGISTER also withdraws the other contacts the server may hold for it.
    void addStaleContacts(const QString &name, SipMessage &request);
    bool forgetWithdrawnContacts(const QString &name, const SipMessage &request);
    // A deleted account ends its calls and withdraws its registration; the later events of
    // those calls find no account.
    void leaveServer(SipUser *user);
    // answered: the server itself refused; else it said nothing.
    void registrationFailed(SipUser *user, const QString &reason, bool answered);
    // 423: at once with the server's Min-Expires when it asks for more than was asked.
    bool raiseExpires(SipUser *user, const SipMessage &response);
    // The account's registering REGISTER still waits for its final answer.
    SipClientNonInviteDialog *pendingRegister(const QString &name) const;
    // Ends the account's REGISTER under way unheard: what it wrote went with a lost connection.
    void dropRegister(const QString &name);
    // A door's report while its account is not registered.
    void askForRegistration(SipUser *user);
    SipClientNonInviteDialog *clientDialogOf(const SipMessage &response) const;
    void initExternalAddress();

    SipTransport::Type m_Transport = SipTransport::Unset;
    // A child, so it moves into the core thread with the module that uses it.
    QSettings m_SipUsers;
    bool m_IsStandalone = true;
    QString m_ExtAddressStatic;
    QString m_ExtAddressStun;
    SipTransport::Type m_StandaloneTransport = SipTransport::Type(0);
    SipTransport::Type m_ServerTransport = SipTransport::Unset;
    SipConnectionState m_ConnectionState = SipNotConnected;
    QAbstractSocket::SocketType m_SocketType = QAbstractSocket::UnknownSocketType;
    QAbstractSocket::SocketError m_SocketError = QAbstractSocket::UnknownSocketError;
    QString m_ErrorString;
    QString m_ConnectionAddress;
    quint16 m_ConnectionPort = 0;
    QString m_ServerAddress;
    quint16 m_ServerPort = 0;
    QString m_ClientAddress;
    quint16 m_ClientPort = 0;
    int m_TypeExtAddress = 0;
    QString m_ExtAddress;

    // The interface address a wildcard bind address stands for; never written to the file.
    QString m_LocalAddress;
    QTimer m_StopTimer;
    // From the stop's beginning until the next start.
    bool m_Stopping = false;
    QHash<QString, SipUser *> m_Users;
    QList<SipUser *> m_UserList;
    QHash<QString, ConversationThread *> m_Conversations;
    SipDialogIndex *m_Dialogs = nullptr;
    // Children, so their timers move into the core thread with the module.
    SipExternalAddress m_External;
    SipRetrySchedule m_RegisterRetry;
    // The transaction of each account's latest registering REGISTER.
    QHash<QString, QString> m_RegisterKeys;
    // Accounts whose last REGISTER had no answer: their pause keeps no door from asking.
    QSet<QString> m_RegisterUnanswered;
    // A withdrawal the server has not answered yet: the account name it withdraws, the
    // credentials it answers a challenge with (the account may be gone), the REGISTER as it
    // last went out, its transaction (empty while it waits to go again) and the stale
    // challenges answered in a row on the way to it.
    struct Withdrawal
    {
        QString name;
        QString login;
        QString password;
        SipMessage request;
        QString key;
        int staleAnswers = 0;
    };
    // The withdrawals not answered yet by Call-ID, the same on every request of one; the pause
    // before one that went unanswered goes again; and the accounts that register once no
    // withdrawal of their name is left.
    QHash<QString, Withdrawal> m_Withdrawals;
    SipRetrySchedule m_WithdrawalRetry;
    QSet<QString> m_RegisterAfterWithdrawal;
    // The contacts each account name's REGISTERs bound at the server and no request has
    // removed yet: its next REGISTER withdraws those that are not its contact now, its
    // withdrawal all of them. Like the withdrawals, they outlast a restart of the module.
    QHash<QString, QStringList> m_ServerContacts;
    // The server connection stood before: a new one is a reconnection. Until the first one
    // stands the accounts have no address to register with; the accounts whose device reported
    // registered meanwhile register once it does.
    bool m_ServerConnected = false;
    QSet<QString> m_RegisterOnConnection;
    SipNonceTable m_Nonces;
    // The address each leg of a local call sends from: its INVITE's source for a caller, the
    // registered binding for a callee. Gone with the leg's conversation.
    struct LegSource
    {
        QString conversation;
        QString address;
        quint16 port = 0;
    };
    QHash<QString, LegSource> m_LegSources;
    // The door device of each door leg, by leg and account name: its end and its keys go there.
    // Gone with the leg's conversation.
    struct LegDevice
    {
        QPointer<VelkDevice> device;
        QString conversation;
    };
    QHash<QPair<QString, QString>, LegDevice> m_LegDevices;
    // The REGISTER being applied, and the connections accounts left meanwhile (address, port).
    const SipMessage *m_Registering = nullptr;
    QList<TcpConnection> m_LeftTcp;
    // Legs of accounts that went away, by leg and account name, until the conversation hands
    // them back; the connections left meanwhile, closed once no such leg holds them.
    QHash<QPair<QString, QString>, EndingLeg> m_EndingLegs;
    QList<TcpConnection> m_HeldTcp;
    // The id of the connection each peer's accounts registered over, and the last one given.
    QHash<QPair<QString, quint16>, quint64> m_TcpConnections;
    quint64 m_LastTcpConnection = 0;
    // Legs whose BYE or CANCEL waits for its answer, by its transaction.
    QHash<SipDialog *, EndingLeg> m_AnsweringLegs;
    // The connection whose close is being reported.
    QPair<QString, quint16> m_LostTcp;
    // 302 redirects followed so far, per conversation.
    QHash<QString, int> m_Redirects;
};

// The server transaction's request answered with a status (and a body).
void sendDialogResponse(SipDialog *dialog, const SipStatus::Type &status);
void sendDialogResponseWithBody(SipDialog *dialog, const SipStatus::Type &status,
                                const QString &contentType, const QByteArray &body);

// Account predicates every handler uses.
bool isUsableUser(const SipUser *user);
bool userVideoEnabled(const SipUser *user);
bool userVideoEnabledForResponse(const SipUser *user);
QString userOrDefault(const KBaseUri<1> &uri, const QString &fallback);
SipTransport::Type contactTransport(const KBaseUri<1> &contact, const SipTransport::Type &fallback);
// The first IPv4 address of an interface that is up, running and no loopback; else fallback.
QString firstInterfaceAddress(const QString &fallback);
// The "tag" parameter of the From address, empty when absent.
QString fromTag(const SipMessage &message);
// Why the challenge in response may not be answered at once, empty when it may. staleAnswers:
// the stale challenges answered in a row on the way to request, counted on for the answer.
// Credentials the server refused are not sent again, nor are those of a nonce it keeps calling
// stale past a few times.
QString challengeRefusal(const SipMessage &request, const SipMessage &response, bool proxy,
                         int &staleAnswers);
// A DTMF key as the gateway hands it on, without the mark of a door device's key.
uchar gatewayDtmfKey(uchar event);
// Sets the Expires header to the number (first value replaced, else appended).
void setExpiresHeader(SipMessage &message, unsigned number);
