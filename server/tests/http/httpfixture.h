#pragma once

#include "core/modulehost.h"
#include "http/http.h"

#include <QMap>
#include <QSettings>
#include <QStringList>

#include <initializer_list>
#include <utility>

// The administrator's login, as curl takes it.
inline const QString kAdmin = QStringLiteral("admin:tallowfin");

// Stands in for Core: the owner of the module with the main settings in a private file.
class TestHost : public QObject, public ModuleHost
{
public:
    explicit TestHost(const QString &settingsPath);
    void setValue(const QString &group, const QString &key, const QVariant &value) override;
    void setDefaultValue(const QString &group, const QString &key, const QVariant &value) override;
    QVariant value(const QString &group, const QString &key,
                   const QVariant &defaultValue) const override;
    bool syncSettings() override;
    // Counts the restarts; each takes restartMs of real time, with events running.
    bool restartSipAndVelk() override;
    int restarts = 0;
    int restartMs = 0;
    bool isStopping() const override { return false; }
    QSettings &settings() { return m_settings; }

private:
    mutable QSettings m_settings;
};

struct HttpReply
{
    int status = 0;
    QMap<QString, QString> headers; // lower-case names
    QByteArray body;
};

// A running web module on a free loopback port, with the admin and the plain user "anna".
class HttpFixture
{
public:
    HttpFixture();
    ~HttpFixture();

    bool start();
    Http &http() { return *m_http; }
    TestHost &host() { return *m_host; }
    quint16 port() const { return m_port; }

    // curl with digest login as "user:password" (none when empty); extra arguments before the URL.
    HttpReply curl(const QString &credentials, const QString &path,
                   const QStringList &extra = QStringList());
    HttpReply post(const QString &credentials, const QString &path, const QString &form)
    {
        return curl(credentials, path, { QStringLiteral("--data-binary"), form });
    }
    static HttpReply parse(const QByteArray &raw);
    static QString usersFile();
    static quint16 freePort();
    static quint16 freeUdpPort();
    // A port free on UDP and TCP alike, for a SIP listener that binds both: taken below the
    // kernel's range for outgoing connections, so that no other test's connection can take its
    // TCP side between this probe and the listener's bind.
    static quint16 freeSipPort();
    static void write(QSettings &file,
                      std::initializer_list<std::pair<const char *, QVariant>> values);

    // A digest header as a client would build it.
    static QString digest(const QString &user, const QString &realm, const QString &password,
                          const QString &method, const QString &uri, const QString &nonce);
    // A fresh nonce from a 401 answer.
    QString nonce() { return nonce(m_port); }
    static QString nonce(quint16 port);

private:
    TestHost *m_host = nullptr;
    Http *m_http = nullptr;
    quint16 m_port = 0;
};
