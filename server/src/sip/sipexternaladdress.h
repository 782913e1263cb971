#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

class SipMessage;

// The address the gateway announces to the outside server ("type-ext-address"): the local end
// of its connection (direct), that end until responses report where they came from (auto),
// "ext-address-static" (static), or what a STUN server sees (stun), kept over the local end
// when the connection to the server comes up (or back) later. A new address withdraws every
// registration, waits PauseMs for the withdrawals to leave, takes the address and registers
// the accounts again, so the server learns where to reach them. The pause runs on a timer: SIP
// traffic goes on meanwhile, a report of the address already on its way starts no second cycle,
// and a registration due meanwhile waits for the new address (defer).
class SipExternalAddress : public QObject
{
    Q_OBJECT
public:
    enum Mode : int { Unknown = -1, Direct = 0, Auto = 1, Static = 2, Stun = 3 };

    static constexpr qint64 PauseMs = 1000;

    // "direct", "auto", "static", "stun" without regard to case; empty or other text Unknown.
    static int modeFromText(const QString &text);

    explicit SipExternalAddress(QObject *parent = nullptr);

    // A module start: the mode and static address of the settings; no address yet.
    void reset(int mode, const QString &staticAddress);
    int mode() const { return m_Mode; }
    QString address() const { return m_Address; }
    bool isChanging() const { return m_Pause.isActive(); }

    // The connection to the server stands with this local address.
    void setConnection(const QString &clientAddress);
    // A learned address; registered names the accounts registered now. False when the address
    // is the current one (or the one a change is already under way to), or empty.
    bool change(const QString &address, const QStringList &registered);
    // While a change is under way: the account registers once the new address stands, not now.
    bool defer(const QString &user);
    bool isDeferred(const QString &user) const { return m_Withdrawn.contains(user); }
    // The account unregisters: nothing is to be renewed for it.
    void forget(const QString &user) { m_Withdrawn.removeAll(user); }

signals:
    // Unregister the account now; register it again (with the new address) later.
    void withdraw(QString user);
    void renew(QString user);
    void addressChanged(QString address);

private:
    void finish();

    int m_Mode = Direct;
    QString m_Static;
    QString m_Address;
    // The address STUN found; the connection's local end does not replace it.
    QString m_Learned;
    QString m_Pending;
    QStringList m_Withdrawn;
    QTimer m_Pause;
};

// The "received" address and "rport" port that response reports in its Via of that branch;
// false (outputs untouched) unless that Via carries both parameters.
bool viaReceivedAddress(const QString &branch, const SipMessage &response, QString &address,
                        quint16 &port);
// The trimmed "received" of the top Via when it also carries "rport"; empty otherwise.
QString topViaReceivedAddress(const SipMessage &response);
