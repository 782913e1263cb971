#pragma once

#include "core/attendedthread.h"

#include <QSettings>

// The web administration module. Lives in the core thread; its worker HttpObject runs the listener.
class Http : public AttendedThread
{
    Q_OBJECT
public:
    explicit Http(QObject *parent = nullptr);

    void init() override;
    void deinit() override;

    // Writes the missing "admin" defaults.
    void loadSettings();
    // Reads one key of the "admin" group of the main settings.
    QVariant setting(const QString &key, const QVariant &defaultValue) const;
    QString pageRoot() const { return m_PageRoot; }

signals:
    void unloadUsers();
    void unloadSession();

public slots:
    void stop() override;

private:
    // A child, so it moves into the core thread with the module that uses it.
    QSettings m_Users;
    QString m_PageRoot;
};
