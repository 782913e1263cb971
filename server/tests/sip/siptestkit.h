#pragma once

// What the suites of the SIP engine share: the application set up with its log captured, and
// a module owner keeping the main settings in a file of the test's own.

#include "../toolkit.h"
#include "core/env.h"
#include "core/modulehost.h"

#include <QCoreApplication>
#include <QSettings>
#include <QStringList>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QUdpSocket>

namespace siptest {

inline void initApplication()
{
    static const QByteArray argv0 = QCoreApplication::applicationFilePath().toLocal8Bit();
    Env::initApplication(argv0.constData());
}

// Every log line from now on lands in lines, without its time and type prefix.
inline void captureLog(QObject *receiver, QStringList *lines)
{
    initApplication();
    QObject::connect(Env::instance(), &Env::viewLog, receiver,
                     [lines](const QString &line) { *lines << line.mid(line.indexOf("]: ") + 3); });
}

inline quint16 freeUdpPort()
{
    QUdpSocket probe;
    probe.bind(QHostAddress(QHostAddress::LocalHost), 0);
    return probe.localPort();
}

// A loopback port a listen could take a moment ago, for the service to bind. Not one the system
// picked for an outgoing connection: it shares that port with the machine's other connections
// to other ends, and nothing can listen on it while one of them lives.
inline quint16 freeTcpPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

// The owner of a module, with the main settings in a file of this run's own: beside the binary
// the file would be shared with any other run of the same test (two ctest runs over one build
// tree), and QSettings takes in what another process writes there at its next sync.
class Host : public QObject, public ModuleHost
{
public:
    QTemporaryDir dir;
    QSettings file { dir.filePath("main.conf"), QSettings::IniFormat };

    void setValue(const QString &group, const QString &key, const QVariant &value) override
    {
        file.setValue(group + "/" + key, value);
    }
    void setDefaultValue(const QString &group, const QString &key, const QVariant &value) override
    {
        if (!file.contains(group + "/" + key))
            file.setValue(group + "/" + key, value);
        file.sync();
    }
    QVariant value(const QString &group, const QString &key,
                   const QVariant &defaultValue) const override
    {
        return file.value(group + "/" + key, defaultValue);
    }
    bool syncSettings() override
    {
        file.sync();
        return true;
    }
    bool restartSipAndVelk() override { return true; }
    bool isStopping() const override { return false; }

    // What another reader of the file finds there.
    QVariant stored(const QString &key) const
    {
        return QSettings(file.fileName(), QSettings::IniFormat).value(key);
    }
    // A gateway of a random local port whose outside server is address:port.
    void gateway(const QString &address, quint16 port)
    {
        file.setValue("sip/standalone", "false");
        file.setValue("sip/server-address", address);
        file.setValue("sip/server-port", port);
        file.setValue("sip/server-bind-random", "true");
    }
};

} // namespace siptest
