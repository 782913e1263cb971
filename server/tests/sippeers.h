#pragma once

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QUdpSocket>

// The outside SIP servers of the gateway tests.

// kamailio as the outside SIP server of the gateway tests (sip/data/kamailio-registrar.cfg):
// a registrar with Digest authentication that relays the rest, on a loopback port free for
// both UDP and TCP, with a control socket through which kamcmd reads its registrations.
class Kamailio
{
public:
    QTemporaryDir dir;
    QProcess process;
    quint16 port = 0;

    bool start()
    {
        if (port == 0) {
            QTcpServer tcp;
            QUdpSocket udp;
            while (tcp.listen(QHostAddress::LocalHost)
                   && !udp.bind(QHostAddress(QHostAddress::LocalHost), tcp.serverPort()))
                tcp.close();
            port = tcp.serverPort();
        }
        QFile in(qEnvironmentVariable("TARNHALL_SOURCE_DIR")
                 + "/server/tests/sip/data/kamailio-registrar.cfg");
        QFile out(dir.filePath("kamailio.cfg"));
        if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly))
            return false;
        out.write(in.readAll()
                      .replace("@PORT@", QByteArray::number(port))
                      .replace("@MODULES@", "/usr/lib/x86_64-linux-gnu/kamailio/modules/"));
        out.close();
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start("kamailio",
                      { "-f", out.fileName(), "-DD", "-E", "-Y", dir.path(), "-m", "32", "-M", "4",
                        "-A", QString("CTL_SOCKET=\"%1\"").arg(control()) });
        return process.waitForStarted();
    }
    void stop()
    {
        process.terminate();
        if (!process.waitForFinished(10000))
            process.kill();
        process.waitForFinished();
    }
    ~Kamailio() { stop(); }

    // The Contact addresses registered for the address-of-record user (its user part).
    QStringList contacts(const QString &user) const
    {
        QProcess kamcmd;
        kamcmd.start("kamcmd", { "-s", control(), "ul.lookup", "location", user });
        if (!kamcmd.waitForFinished(10000))
            return {};
        QStringList found;
        for (const QByteArray &line : kamcmd.readAllStandardOutput().split('\n')) {
            const QByteArray text = line.trimmed();
            if (text.startsWith("Address: "))
                found << QString::fromUtf8(text.mid(9));
        }
        return found;
    }

private:
    QString control() const { return "unix:" + dir.filePath("ctl"); }
};

// A scripted server's response to a request: its Via (with the given parameters), From, To (with
// a tag), Call-ID and CSeq, then the extra header lines.
inline QByteArray scriptedReply(const QByteArray &request, const QByteArray &status,
                                const QByteArray &viaParams, const QByteArray &extra)
{
    QByteArray answer = "SIP/2.0 " + status + "\r\n";
    for (const QByteArray &line : request.split('\n')) {
        const QByteArray name = line.left(line.indexOf(':'));
        if (name == "Via")
            answer += line.trimmed() + viaParams + "\r\n";
        else if (name == "From" || name == "Call-ID" || name == "CSeq")
            answer += line.trimmed() + "\r\n";
        else if (name == "To")
            answer += line.trimmed() + ";tag=s1\r\n";
    }
    return answer + extra + "Content-Length: 0\r\n\r\n";
}
