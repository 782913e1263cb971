#pragma once

#include "core/attendedthread.h"

#include <QSettings>

// The SIP engine module. Lives in the core thread; its worker SipObject runs the sockets.
class Sip : public AttendedThread
{
    Q_OBJECT
public:
    explicit Sip(QObject *parent = nullptr);

    void init() override;
    void deinit() override;

    bool isStandalone() const { return m_IsStandalone; }

    // Reads one key of the "sip" group of the main settings.
    QVariant setting(const QString &key, const QVariant &defaultValue) const;
    void writeDefaultSettings();

signals:
    void unloadUsers();

public slots:
    // Unregisters the users first; the thread itself is stopped 1500 ms later.
    void stop() override;
    void stopParent();

private:
    // A child, so it moves into the core thread with the module that uses it.
    QSettings m_SipUsers;
    bool m_IsStandalone;
};
