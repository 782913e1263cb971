#include "sip/sipretryschedule.h"

#include "core/timescale.h"

#include <QTimer>

SipRetrySchedule::SipRetrySchedule(QObject *parent)
    : QObject(parent)
{
}

qint64 SipRetrySchedule::failed(const QString &name)
{
    Entry &entry = m_Entries[name];
    if (!entry.timer) {
        entry.timer = new QTimer(this);
        entry.timer->setSingleShot(true);
        connect(entry.timer, &QTimer::timeout, this, [this, name] { emit due(name); });
    }
    entry.pauseMs = entry.pauseMs == 0 ? FirstMs : qMin(entry.pauseMs * 2, MaxMs);
    entry.timer->start(TimeScale::toRealInt(entry.pauseMs));
    return entry.pauseMs;
}

void SipRetrySchedule::succeeded(const QString &name)
{
    const Entry entry = m_Entries.take(name);
    delete entry.timer;
}

bool SipRetrySchedule::isPending(const QString &name) const
{
    const Entry entry = m_Entries.value(name);
    return entry.timer && entry.timer->isActive();
}

void SipRetrySchedule::clear()
{
    for (const Entry &entry : qAsConst(m_Entries))
        delete entry.timer;
    m_Entries.clear();
}
