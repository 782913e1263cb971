#include "sip/sipnoncetable.h"

#include "core/identifiers.h"
#include "core/timescale.h"

QString SipNonceTable::issue()
{
    const qint64 now = TimeScale::now();
    dropExpired(now);
    while (m_Order.size() >= Capacity)
        m_Entries.remove(m_Order.dequeue());
    const QString nonce = randomHexId();
    m_Entries.insert(nonce, Entry { now, QString() });
    m_Order.enqueue(nonce);
    return nonce;
}

bool SipNonceTable::consume(const QString &nonce, const QString &use)
{
    dropExpired(TimeScale::now());
    auto it = m_Entries.find(nonce);
    if (it == m_Entries.end())
        return false;
    if (it->use.isEmpty()) {
        it->use = use;
        return true;
    }
    return it->use == use;
}

void SipNonceTable::dropExpired(qint64 now)
{
    while (!m_Order.isEmpty()) {
        auto it = m_Entries.constFind(m_Order.head());
        if (it != m_Entries.cend() && now - it->issued < LifeMs)
            return;
        m_Entries.remove(m_Order.dequeue());
    }
}
