#pragma once

#include <QHash>
#include <QQueue>
#include <QString>

// The nonces the local server gave out in its challenges. Each is good for a limited time and
// for one request only (its retransmissions included), so a captured Authorization proves
// nothing for any later request. Bounded: the oldest nonce goes when the table is full.
class SipNonceTable
{
public:
    static constexpr int Capacity = 4096;
    static constexpr qint64 LifeMs = 60000;

    // A new nonce, remembered from now.
    QString issue();
    // Whether nonce is alive and either unused or used by this same request (use: its method,
    // CSeq and Call-ID); a fresh nonce becomes this request's.
    bool consume(const QString &nonce, const QString &use);
    int size() const { return m_Entries.size(); }

private:
    struct Entry
    {
        qint64 issued = 0;
        QString use;
    };
    void dropExpired(qint64 now);

    QHash<QString, Entry> m_Entries;
    // Nonces in the order they were issued, the oldest first.
    QQueue<QString> m_Order;
};
