#pragma once

#include "sip/message/sipmessage.h"

#include <QMap>
#include <QObject>
#include <QString>

class ConversationThread;
class QTimerEvent;

// Call timeout of a ringing outgoing INVITE, in units of 2 x T1 (90 s).
extern const qint64 TIMEOUT_CALL;

// One RFC 3261 transaction (called a dialog here; there is no separate dialog object). A child
// of the SIP engine, named by the transaction key of its request, which the engine looks it up
// by. It keeps the request and the last response, runs its timers as QObject timers of its own,
// puts bytes on the wire only through sendDatagram and deletes itself when it terminates.
class SipDialog : public QObject
{
    Q_OBJECT
public:
    enum State : int {
        None = 0,
        Initial = 1,
        Trying = 2,
        Calling = 3,
        Proceeding = 4,
        Confirmed = 5,
        Completed = 6,
        Terminated = 7,
    };
    enum TimerType : int {
        TimerA = 1,
        TimerB = 2,
        TimerD = 4,
        TimerE = 5,
        TimerF = 6,
        TimerG = 7,
        TimerH = 8,
        TimerI = 9,
        TimerJ = 10,
        TimerK = 11,
        TimerCall = 12,
        // Ends a server transaction that the engine never gives a final response.
        TimerUnanswered = 13,
        // Ends a cancelled INVITE that its peer never gives a final response.
        TimerCancelled = 14,
    };

    static constexpr qint64 T1 = 500;
    static constexpr qint64 T2 = 4000;
    static constexpr qint64 T4 = 5000;

    // Written by the engine: its mode at start, its outside address in gateway mode.
    static bool m_IsStandalone;
    static QString m_DefExtAddress;

    SipDialog(QObject *parent, const SipMessage &request);

    virtual void setMessage(const SipMessage &msg, const bool &flag);
    virtual void sendResponse(const SipMessage &response);
    virtual void process(const SipMessage &msg) = 0;
    virtual void send(const SipMessage &msg);

    int state() const { return m_State; }
    void setToTag(const QString &tag);
    // The request as it went out (or came in): without the To tag that a response gave the
    // stored copy (or this transaction gave out) since. A CANCEL names it so.
    SipMessage sentRequest() const;
    // The retransmission test of the server transactions; refreshes the stored request.
    bool isSameRequest(const SipMessage &msg);
    ConversationThread *conversation() const;

    static bool inRange(const SipStatus::Type &status, int low, int high);

    SipMessage m_Request;
    // Written by the engine after construction.
    QString m_ConversationName;
    QString m_Partner;
    // Stale challenges answered at once in a row on the way to this request.
    int m_StaleAnswers = 0;

signals:
    void sendDatagram(SipTransport::Type transport, QString address, ushort port,
                      QByteArray datagram);
    void receiveResponse(SipMessage msg);
    void intercepted(SipMessage invite, QString conversationName, QString parthner);

public slots:
    virtual void terminate();
    virtual void intercept(const QString &uuid, const QString &callid);

protected:
    void setState(int state);
    // Restarts the kind from now; intervals are schedule milliseconds (core/timescale.h).
    int startTimer(int kind, qint64 ms);
    void stopTimer(int kind);
    void stopAllTimers();
    int timerType(const QTimerEvent *event) const;

    // The To-tag rule of the server transactions: the response's own tag, else the request's,
    // else one made up now and kept in the request for every later response.
    SipMessage withDialogToTag(const SipMessage &response);
    // A synthetic response to the request, recorded and reported; never sent.
    void reportSynthetic(const SipStatus::Type &status);
    // Safety end of a server transaction that was given no final response within limitMs
    // (TimerUnanswered): the peer has long given up, and nothing else would end it.
    void endUnanswered(qint64 limitMs);

    QMap<int, int> m_Timers;
    qint64 m_RetransmitCount = 0;
    int m_State = None;
    SipMessage m_LastMessage;

private:
    // The request's To before a tag was given out: a retransmission still carries it.
    QString m_UntaggedTo;
    QString m_GivenToTag;
};

// The "tag" parameter of msg's To header, empty when there is none.
QString toTagOf(const SipMessage &msg);
