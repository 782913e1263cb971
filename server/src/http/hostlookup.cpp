#include "http/hostlookup.h"

#include "core/timescale.h"

#include <QHostInfo>

#include <utility>

HostLookup::HostLookup(QStringList names, qint64 waitMs,
                       std::function<void(const HostAddresses &)> done, QObject *parent)
    : QObject(parent)
    , m_done(std::move(done))
{
    names.removeDuplicates();
    m_pending = names.size();
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, &HostLookup::finish);
    m_deadline.start(m_pending > 0 ? TimeScale::toRealInt(waitMs) : 0);
    for (const QString &name : qAsConst(names)) {
        m_found.insert(name, QHostAddress());
        // Answers reach this object alone: once it is gone, they find no receiver.
        m_ids << QHostInfo::lookupHost(
            name, this, [this, name](const QHostInfo &info) { answered(name, info); });
    }
}

HostLookup::~HostLookup()
{
    abortAll();
}

void HostLookup::cancel()
{
    m_done = nullptr;
    m_deadline.stop();
    abortAll();
    deleteLater();
}

void HostLookup::answered(const QString &name, const QHostInfo &info)
{
    const QList<QHostAddress> addresses = info.addresses();
    for (const QHostAddress &address : addresses) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol) {
            m_found.insert(name, address);
            break;
        }
    }
    if (--m_pending == 0)
        finish();
}

void HostLookup::finish()
{
    m_deadline.stop();
    abortAll();
    deleteLater();
    // Last, on a copy: done may stop the module, which cancels its look-ups, this one among them.
    const HostAddresses found = m_found;
    if (const auto done = std::exchange(m_done, nullptr))
        done(found);
}

void HostLookup::abortAll()
{
    for (const int id : qAsConst(m_ids))
        QHostInfo::abortHostLookup(id);
    m_ids.clear();
}
