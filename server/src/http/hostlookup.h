#pragma once

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>

class QHostInfo;

// Host names with the first IPv4 address of each; null for a name that has none.
using HostAddresses = QHash<QString, QHostAddress>;

// Looks host names up side by side without holding up its thread, and hands what it found to
// done once every answer is in or waitMs of the schedule have passed: a name unanswered by then
// has a null address. Cancelled or deleted first, it never calls done. Deletes itself after.
class HostLookup : public QObject
{
    Q_OBJECT
public:
    HostLookup(QStringList names, qint64 waitMs, std::function<void(const HostAddresses &)> done,
               QObject *parent);
    ~HostLookup() override;

    void cancel();

private:
    void answered(const QString &name, const QHostInfo &info);
    void finish();
    void abortAll();

    HostAddresses m_found;
    QList<int> m_ids;
    int m_pending = 0;
    QTimer m_deadline;
    std::function<void(const HostAddresses &)> m_done;
};
