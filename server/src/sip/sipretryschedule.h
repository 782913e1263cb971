#pragma once

#include <QHash>
#include <QObject>
#include <QString>

class QTimer;

// Retries of failed attempts by name (an account's registration), each after a pause that
// doubles from FirstMs to MaxMs with every failure in a row, so a server that keeps refusing
// is asked at a steady, bounded rate. A success clears the name.
class SipRetrySchedule : public QObject
{
    Q_OBJECT
public:
    static constexpr qint64 FirstMs = 4000;
    static constexpr qint64 MaxMs = 300000;

    explicit SipRetrySchedule(QObject *parent = nullptr);

    // Another failure of name: due() comes after the next pause. Returns that pause.
    qint64 failed(const QString &name);
    void succeeded(const QString &name);
    bool isPending(const QString &name) const;
    void clear();

signals:
    void due(QString name);

private:
    struct Entry
    {
        QTimer *timer = nullptr;
        qint64 pauseMs = 0;
    };
    QHash<QString, Entry> m_Entries;
};
