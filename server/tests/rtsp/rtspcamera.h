#pragma once

#include <QDir>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// GStreamer's RTSP server in a child process; it reports its port and each request it handles.
struct RtspCamera
{
    explicit RtspCamera(const QStringList &args)
    {
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        // GStreamer keeps its plugin registry in the test's own directory, not the user's cache.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("GST_REGISTRY", QDir::current().filePath("gst-registry.bin"));
        process.setProcessEnvironment(env);
        process.start("/usr/bin/python3",
                      QStringList { qEnvironmentVariable("TARNHALL_SOURCE_DIR")
                                    + "/server/tests/rtsp/camera.py" }
                          + args);
    }
    ~RtspCamera()
    {
        process.closeWriteChannel();
        if (!process.waitForFinished(10000))
            process.kill();
        process.waitForFinished();
    }
    // Reads what the camera printed so far; true once it listens.
    bool ready()
    {
        while (process.canReadLine()) {
            const QString line = QString::fromUtf8(process.readLine()).trimmed();
            if (line.startsWith("PORT "))
                url = QStringLiteral("rtsp://127.0.0.1:%1/door").arg(line.mid(5));
            else
                requests += line.mid(4);
        }
        return !url.isEmpty();
    }
    int count(const QString &method) { return ready() ? requests.count(method) : 0; }
    QProcess process;
    QString url;
    QStringList requests;
};
