#pragma once

#include "sip/message/kbasecontactaddress.h"
#include "sip/message/kbaseviaaddress.h"
#include "sip/message/sipheader.h"
#include "sip/message/sipmessagefields.h"
#include "sip/message/sipmethod.h"
#include "sip/message/sipstartline.h"
#include "sip/message/sipstatus.h"
#include "sip/message/siptransport.h"

#include <QByteArray>
#include <QHash>
#include <QMetaType>
#include <QString>
#include <QStringList>

class QHostAddress;
class SipUser;

using SipHeaderTable = QHash<SipHeader::Type, QStringList>;

// One SIP request or response as a copyable value. Headers are kept as texts, one entry per
// header line and never split at commas. Typed views of the headers every exchange reads (top
// Via, From, To, Contact, CSeq, the transaction key) are parsed once, when the message is parsed
// or the header set; the others are computed from the texts on demand.
class SipMessage
{
public:
    SipMessage();
    explicit SipMessage(const SipTransport::Type &transport);
    // A message that only names a call: valid, no start line.
    explicit SipMessage(const QString &callId);
    // A new request taking its CSeq number from SequenceID.
    SipMessage(const SipMethod::Type &method, const SipTransport::Type &transport);
    // Parses one datagram (or one message cut from a TCP stream); see valid and parseError.
    SipMessage(const SipTransport::Type &transport, const QHostAddress &senderAddr,
               quint16 senderPort, const QHostAddress &receiverAddr, quint16 receiverPort,
               const QByteArray &datagram);
    // The response to request; the body is kept only when contentType is not empty.
    SipMessage(const SipStatus::Type &status, const SipMessage &request,
               const QString &contentType = QString(), const QByteArray &body = QByteArray());

    // Gateway mode: requests of a user to and through the outside server.
    explicit SipMessage(SipUser *user);
    SipMessage(const SipMethod::Type &method, SipUser *user, const QString &target,
               const QString &contentType, const QByteArray &body);
    SipMessage(SipUser *user, const QString &target, const QByteArray &sdp);
    // BYE and INFO (one DTMF key) on the dialog of dialogMessage, a leg's INVITE. The BYE's
    // Contact is the account's as it registers; a deleted account's (null) at the dialog's end.
    SipMessage(const SipMessage &dialogMessage, const QString &userName, const SipUser *account);
    SipMessage(const SipMessage &dialogMessage, const QString &userName, const uchar &key,
               const uint &duration);

    // Standalone mode: requests between local users, sent to toUser's registered address.
    SipMessage(const SipMethod::Type &method, SipUser *fromUser, SipUser *toUser,
               const QString &contentType, const QByteArray &body);
    SipMessage(SipUser *fromUser, SipUser *toUser, const QByteArray &sdp);
    // The NOTIFY reporting a REFER's progress to the referrer.
    SipMessage(SipUser *fromUser, SipUser *toUser, const SipMessage &refer,
               const SipStatus::Type &status);
    // BYE and INFO on the dialog of dialogMessage; invalid when user is named in neither its
    // To nor its From. A null user follows dialogMessage's own addressing.
    SipMessage(const SipMessage &dialogMessage, SipUser *user);
    SipMessage(const SipMessage &dialogMessage, SipUser *user, const uchar &key,
               const uint &duration);

    SipMessage makeCancel() const;

    void setRequestUri(const QString &user, const QString &host, quint16 port,
                       const QString &parameters);
    void setRequestUri(const QString &user, const QString &host, quint16 port,
                       const SipTransport::Type &transport);

    QStringList headerValues(const SipHeader::Type &type) const;
    QString headerValue(const SipHeader::Type &type, int index = 0) const;
    void setHeader(const SipHeader::Type &type, const QString &value);
    void setHeaderValues(const SipHeader::Type &type, const QStringList &values);
    void setBody(const QString &contentType, const QByteArray &body);

    QString callId() const;
    QString allow() const;
    QString supported() const;
    QString event() const;
    QString subscriptionState() const;
    QString contentType() const;
    bool isContentType(const QString &text) const;
    bool hasWwwAuthenticate() const;
    bool hasAuthorization() const;
    bool hasProxyAuthenticate() const;
    bool hasProxyAuthorization() const;
    // The received value, not the body size.
    uint contentLength() const;
    uint maxForwards() const;
    uint expiresHeader() const;
    uint minSe() const;
    uint sessionExpires() const;
    uint cseqNumber() const;
    SipMethod::Type cseqMethod() const;
    KBaseContactAddress<1> from() const;
    KBaseContactAddress<1> to() const;
    // The "tag" parameter of from() and to().
    QString fromTag() const;
    QString toTag() const;
    KBaseContactAddress<1> referTo() const;
    KBaseContactAddress<1> diversion() const;
    KBaseContactAddress<1> contact() const;
    // Every entry of every Contact line (a line may list several, comma-separated), in order,
    // invalid ones included.
    QList<KBaseContactAddress<1>> contacts() const;
    // The Contact "expires" parameter, else the Expires header.
    uint expires() const;
    // What a registrar's 200 grants the binding own: the "expires" of the Contact entry naming
    // it (a lone entry stands for it: the server may list it as it sees it), else the Expires
    // header; 0 when neither says.
    uint expiresOf(const KBaseUri<1> &own) const;

    SipMethod::Type method() const;
    int responseClass() const { return statusClass; }
    bool isValid() const { return valid; }
    // "<method>_<cseq>_<call-id>"; an ACK falls into its INVITE's key.
    QString transactionKey(const SipMethod::Type &method = SipMethod::Unknown) const;

    void setCSeq(uint number, const SipMethod::Type &method);
    void setVia(const KBaseViaAddress<1> &via);
    void setWwwAuthenticate(const QString &realm, const QString &nonce);
    void setAuthorization(const QString &text);
    void setProxyAuthorization(const QString &text);
    void setFrom(const QString &displayName, const QString &user, const QString &host, quint16 port,
                 const QString &tag);
    void setTo(const QString &displayName, const QString &user, const QString &host, quint16 port,
               const QString &tag);
    void setFromTag(const QString &tag);
    void setToTag(const QString &tag);
    void setContact(const QString &user, const QString &host, quint16 port,
                    const SipTransport::Type &transport);
    void copyContact(const KBaseContactAddress<1> &address);
    // The user's name at the server address and port it stored; a null user does nothing.
    void setContact(SipUser *user);
    // The key and duration of an "application/dtmf-relay" body.
    bool dtmf(char &key, uint &duration) const;
    void setDiversion(const KBaseContactAddress<1> &address);

    // Via handling around every exchange.
    KBaseViaAddress<1> topVia() const;
    QString branch() const;
    void setBranch(const QString &branch);
    KBaseViaAddress<1> viaWithBranch(const QString &branch) const;
    void addVia(const QString &host, quint16 port, const QString &branch,
                const SipTransport::Type &transport);
    // Fills target's request URI, From, To and Route from this dialog message: from its own
    // headers (fromRequest) or from dialogHeaders, the headers of the dialog's last response.
    void setRouteSet(SipMessage &target, const bool &fromRequest) const;

    QByteArray toByteArray() const;

    static quint32 SequenceID;

    SipTransport::Type transport = SipTransport::Unset;
    SipStartLine startLine;
    int statusClass = -1;
    bool valid = false;
    QByteArray body;
    QString parseError;
    QString senderAddress;
    quint16 senderPort = 0;
    QString receiverAddress;
    quint16 receiverPort = 0;
    SipHeaderTable headers;
    // Filled by the transactions with the headers of the last response of the dialog.
    SipHeaderTable dialogHeaders;
    // Marks a response a transaction made up itself (timeouts), never acknowledged.
    bool synthetic = false;
    // Parsed from what a peer sent, not built here: of a leg's INVITE, which end set up its
    // dialog.
    bool received = false;

private:
    const QString *singleText(const SipHeader::Type &type) const;
    const QString *firstText(const SipHeader::Type &type) const;
    QString ownKey() const;
    // Reads again the views of type (all of them for Unknown) whose text has changed.
    void refreshFields(const SipHeader::Type &type = SipHeader::Unknown);
    void setAddressHeader(const SipHeader::Type &type, const QString &displayName,
                          const QString &user, const QString &host, quint16 port,
                          const QString &tag);
    void setTagOf(const SipHeader::Type &type, const QString &tag);
    QString singleValue(const SipHeader::Type &type) const;
    uint singleNumber(const SipHeader::Type &type) const;
    KBaseContactAddress<1> singleAddress(const SipHeader::Type &type) const;
    void parseDatagram(const QByteArray &datagram);

    SipMessageFields m_fields;
};

// "SIP/2.0 <code> <reason>\r\n", the body of a message/sipfrag NOTIFY.
QByteArray statusLineText(const SipStatus::Type &status);
// b when a equals c, else a.
QString chooseString(const QString &a, const QString &b, const QString &c);

Q_DECLARE_METATYPE(SipMessage)
