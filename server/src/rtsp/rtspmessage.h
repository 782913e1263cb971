#pragma once

#include "sip/message/sipstatus.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

// One RTSP/1.0 message of the camera client: requests are only built, responses only parsed.
// A plain copyable value; the one state it shares is the process-wide CSeq counter.
class RtspMessage
{
public:
    enum Method : int {
        NoMethod = -1,
        Describe = 0,
        Options,
        Play,
        Pause,
        Record,
        Redirect,
        Setup,
        Announce,
        GetParameter,
        SetParameter,
        Teardown,
    };

    enum Header : int {
        Unknown = -1,
        Accept = 0,
        AcceptEncoding,
        AcceptLanguage,
        AlertInfo,
        Allow,
        AuthenticationInfo,
        Authorization,
        CSeq,
        CacheControl,
        CallID,
        CallInfo,
        Contact,
        ContentBase,
        ContentDisposition,
        ContentEncoding,
        ContentLanguage,
        ContentLength,
        ContentType,
        Date,
        Diversion,
        ErrorInfo,
        Expires,
        Event,
        From,
        InReplyTo,
        MIMEVersion,
        MaxForwards,
        MinExpires,
        MinSE,
        Organization,
        Priority,
        ProxyAuthenticate,
        ProxyAuthorization,
        ProxyRequire,
        Public,
        ProxyRoute,
        Range,
        RecordRoute,
        ReferTo,
        ReplyTo,
        Require,
        RetryAfter,
        Route,
        Server,
        Session,
        SessionExpires,
        Subject,
        SubscriptionState,
        Supported,
        Timestamp,
        Transport,
        To,
        Unsupported,
        UserAgent,
        Via,
        WWWAuthenticate,
        Warning,
    };
    static constexpr int HeaderCount = 57;

    RtspMessage();
    // A new request carrying the next CSeq number of the process and the User-Agent.
    RtspMessage(Method method, const QString &uri);
    // Parses one response; valid() and error() tell the outcome.
    explicit RtspMessage(const QByteArray &data);

    static QString methodName(int method);
    static QString headerName(int type);
    static int headerType(const QString &name);

    QStringList headerValues(Header type) const;
    QString headerValue(Header type, int index) const;
    void setHeader(Header type, const QString &value);
    void setTransport(quint16 rtpPort, quint16 rtcpPort);

    uint cseq() const;
    uint contentLength() const;
    QString contentBase() const;
    QString session() const;
    // The timeout parameter of the Session header in seconds; 0 when absent or not a number.
    uint sessionTimeout() const;
    int method() const { return m_kind == 0 ? m_method : NoMethod; }

    int kind() const { return m_kind; }
    QString version() const { return m_version; }
    QString uri() const { return m_uri; }
    SipStatus::Type status() const { return m_status; }
    QString reason() const { return m_reason; }
    int statusClass() const { return m_statusClass; }
    bool valid() const { return m_valid; }
    QByteArray body() const { return m_body; }
    QString error() const { return m_error; }

    static QString statusCodeText(int index);
    static int statusFromCode(const QString &text);
    static int statusClass(int index);

    QByteArray toByteArray() const;

    // Reads the first RTP/AVP video stream of a session description: true when its payload
    // number, rtpmap, fmtp and control together gave at least three attributes.
    static bool parseVideoSdp(const QByteArray &sdp, uchar &codec, QString &codec_info,
                              QString &codec_fmtp, QString &control);

    // Where the head of a message ends in the bytes: the earlier of the first "\n\n" and the
    // first "\r\n\r\n". Returns the head's length and sets the separator's; -1 when none yet.
    static int headEnd(const QByteArray &data, int *separatorLength);

private:
    void parse(const QByteArray &data);

    int m_kind = -1;
    QString m_version;
    int m_method = NoMethod;
    QString m_uri;
    SipStatus::Type m_status = SipStatus::Unknown;
    QString m_reason;
    int m_statusClass = -1;
    bool m_valid = false;
    QByteArray m_body;
    QString m_error;
    QHash<QString, QStringList> m_headers;
};
