#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// A private root for the real service binary: its /var/run, /etc/tarnhall-server, ../conf and
// ../log all live in a temporary folder (see sandbox.sh).
class ServiceSandbox
{
public:
    // ownNetwork false: the service shares the caller's network namespace (and its peers)
    // instead of one of its own with only loopback.
    explicit ServiceSandbox(bool ownNetwork = true);
    // Fails the running test when the service's log holds a Qt threading warning.
    ~ServiceSandbox();

    bool isValid() const { return valid; }
    QString root() const { return dir.path(); }
    QString binary() const { return root() + QStringLiteral("/bin/tarnhall-server"); }
    QString socketPath() const { return root() + QStringLiteral("/run/tarnhall-server/sock"); }
    QString pidPath() const { return root() + QStringLiteral("/run/tarnhall-server/pid"); }
    QString registryPath() const { return root() + QStringLiteral("/etc/service.conf"); }

    // Starts the service in the foreground; waits until its control socket answers.
    QProcess *startService(int ms = 20000);
    bool waitUntilAlive(int ms = 20000);

    // Runs the binary with the arguments to its end: "<exit code> [<stdout>] [<stderr>]".
    QByteArray command(const QStringList &arguments, int ms = 60000);

    // "true" or "false" (or nothing) from socat sending the given lines.
    QByteArray ask(const QByteArray &lines);

    QString textLog() const;
    // The lines of the log that are Qt's warnings about an object used from a thread it does
    // not live in.
    QStringList threadingWarnings() const;

private:
    QProcess *sandboxed(const QStringList &arguments);

    QTemporaryDir dir;
    bool valid = false;
    bool ownNetwork = true;
    std::vector<std::unique_ptr<QProcess>> processes;
};
