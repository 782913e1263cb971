#pragma once

#include "core/coreobject.h"
#include "sip/message/siptransport.h"

#include <QHostAddress>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QTimer>

class AttendedThread;
class ConversationThread;

// One SIP account or local user, a child of the Sip module named by the user's name. Its
// settings are dynamic properties named by the per-user keys (sipusersetting.h); the fields
// below are where its SIP peer is: the outside server in gateway mode, the registered phone's
// binding in standalone mode. Lives in the core thread; only its camera session (the video
// control) runs a thread of its own.
class SipUser : public CoreObject
{
    Q_OBJECT
public:
    enum Type { VelkAccount = 0, PlainAccount = 1, GroupAccount = 2 };

    explicit SipUser(const QString &name, const uchar &logRtsp = 0, QObject *parent = nullptr);
    ~SipUser() override;

    // "type-user" as a number; -1 when the property is missing or does not convert.
    int typeUser() const;
    // A door-device account; a user without "type-user" is one.
    bool isVelkUser() const;
    bool isGroup() const;
    // A group's members, as groupMemberNames reads its "group-list".
    QStringList groupMembers() const;
    // The login and password of the running mode.
    QString login() const;
    QString password() const;
    bool isAutoAnswer() const;
    // The call modes of "velk-wiretapping", compared without regard to case.
    bool isWiretapping() const;
    bool isPaging() const;
    bool isControl() const;
    bool isPriority() const;
    // The door device's number of a device account: 0..65534, else -1.
    int velkDeviceId() const;
    // The door device of a device account, found in the door-device module beside the Sip
    // module; null when there is none.
    QObject *velkDevice() const;
    // What a Contact advertises: the Sip parent's "localAddress" property, else the client
    // address.
    QString localAddress() const;

    bool isBusy() const { return m_Busy; }
    void setBusy(bool busy) { m_Busy = busy; }

    // The calls the user takes part in: the caller (the leg's call identity) -> the name of its
    // conversation, in caller order.
    const QMap<QString, QString> &conversations() const { return m_Conversations; }
    // Ignored when either text is empty; replaces an earlier entry of the caller.
    void setConversation(const QString &caller, const QString &conversation);
    QString conversationCaller(const QString &caller) const;
    // Both tell legLeft of the caller they remove.
    QString takeConversation(const QString &caller);
    // Removes the first caller (in caller order) in that conversation and returns it.
    QString removeCaller(const QString &conversation);
    void clearConversations() { m_Conversations.clear(); }

    // Registration expiry in seconds: "sip-standalone-expires" in standalone mode; in gateway
    // mode the server's granted value, else "sip-server-expires". Negative settings give 0.
    quint64 expires() const;
    bool isRegistered() const { return m_Registered; }
    // Counts the registrations made: a refresh keeps the number, a registration anew (after an
    // unregister, or of another binding) takes the next.
    quint64 registration() const { return m_Registration; }
    // Registered over the TCP connection of that peer address and port.
    bool isRegisteredOver(const QString &address, quint16 port) const
    {
        return m_Registered && m_Transport == SipTransport::TCP && m_ClientAddress == address
            && m_ClientPort == port;
    }
    // A change writes one log line; unregistering drops the user's calls (and in standalone
    // mode its expiry timer, and leaves its TCP connection to the engine).
    void setRegistered(const bool &reg);
    // Gateway mode: the server no longer keeps the registration (a refresh failed). Unregistered
    // for new calls with its log line; the calls already set up go on, as they do not depend on
    // the registration.
    void loseRegistration();
    // Gateway mode: re-registers 16 s before a (granted, if not 0) expiry, never sooner than
    // after 16 s; off stops the timer.
    void setRegisterTimer(bool on, qint64 expires);
    // Re-registration (gateway mode) or registration expiry (standalone mode).
    const QTimer &registerTimer() const { return m_RegisterTimer; }

    // Standalone mode: an accepted REGISTER with a non-zero expiry. Confirms the stored binding
    // or, when it changed, unregisters first; then stores it (ports of 0 count as 5060),
    // (re)starts the expiry and returns expires().
    quint64 registerContact(const SipTransport::Type &transport, const QString &contactUser,
                            const QString &contactParameters, const QString &callId,
                            const QString &serverAddr, quint16 serverPort,
                            const QString &clientAddr, quint16 clientPort);

    // Stops the camera session and, for a device account with "velk-video-enable", starts it
    // again with the user's camera settings.
    void applyVideo();

    // The camera's video as its session last described it: payload type (255 none), the
    // rtpmap text after the payload number, and the fmtp text.
    uchar videoCodec() const { return m_VideoCodec; }
    QString videoCodecInfo() const { return m_VideoCodecInfo; }
    QString videoCodecFmtp() const { return m_VideoCodecFmtp; }

    AttendedThread *videoControl() const { return m_VideoControl; }

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
    virtual bool canCall() { return true; }
    virtual bool canBeCalled() { return true; }

signals:
    void initTcpSocket(QString addr, ushort port, bool init, QString user);
    void userUnRegistered(QString user);
    void excludeCallerFromConversation(QString conversationName, QString caller, bool normal);
    void registerOnServer(QString userName, bool reg);
    void startVideoRtspControl(QString video_path, QString video_login, QString video_password);
    void stopVideoRtspControl();
    void play(ushort rtp_port, ushort rtcp_port);
    void teardown();
    void setVelkVideo(QHostAddress video_rtp_addr, ushort video_rtp_port,
                      QHostAddress video_rtcp_addr, ushort video_rtcp_port);
    // The user's leg caller is in no call of its any more.
    void legLeft(QString caller);

public slots:
    void timeoutRegister();
    // Gateway mode: the outside server and the local end of the connection to it. A group
    // registers as soon as this is known.
    void initServerConnection(SipTransport::Type transport, QString serverAddr, ushort serverPort,
                              QString clientAddr, ushort clientPort);
    void setMediaParam(uchar codec = 255, QString codec_info = QString(),
                       QString codec_fmtp = QString());
    // Ties a call's conversation to the camera session: its hold, resume and end reach the
    // session, which then streams to the conversation's video ports. A conversation without
    // video ports is left alone.
    void onPlay(ConversationThread *conversation);

private:
    void connectVideoControl();

    bool m_Registered = false;
    quint64 m_Registration = 0;
    bool m_Busy = false;
    QMap<QString, QString> m_Conversations;
    QTimer m_RegisterTimer;
    uchar m_VideoCodec = 255;
    QString m_VideoCodecInfo;
    QString m_VideoCodecFmtp;
    AttendedThread *m_VideoControl;
};
