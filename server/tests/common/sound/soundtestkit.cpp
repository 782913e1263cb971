#include "soundtestkit.h"

#include "core/env.h"

#include <QCoreApplication>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QProcess>
#include <QTest>
#include <QtEndian>

#include <cmath>

namespace SoundTestKit {

namespace {

QMutex g_lock;
QStringList g_lines;

} // namespace

void startLogCapture()
{
    if (!Env::instance()) {
        static const QByteArray argv0 = QCoreApplication::applicationFilePath().toLocal8Bit();
        Env::initApplication(argv0.constData());
        QObject::connect(
            Env::instance(), &Env::viewLog, Env::instance(),
            [](const QString &line) {
                const int at = line.indexOf(QLatin1String("]: "));
                QMutexLocker locker(&g_lock);
                g_lines.append(at < 0 ? line : line.mid(at + 3));
            },
            Qt::DirectConnection);
    }
    takeLog();
}

QStringList takeLog()
{
    QMutexLocker locker(&g_lock);
    QStringList lines;
    lines.swap(g_lines);
    return lines;
}

bool soxSignal(const QString &path, const QStringList &format, const QString &seconds,
               const QStringList &synth)
{
    QStringList arguments { QStringLiteral("-R"), QStringLiteral("-D"), QStringLiteral("-n") };
    arguments << format << path << QStringLiteral("synth") << seconds << synth;
    return run(QStringLiteral("sox"), arguments);
}

QByteArray ffmpegRaw8(const QString &path, int rate)
{
    QByteArray raw;
    run(QStringLiteral("ffmpeg"),
        { QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-i"), path,
          QStringLiteral("-ac"), QStringLiteral("1"), QStringLiteral("-ar"), QString::number(rate),
          QStringLiteral("-f"), QStringLiteral("u8"), QStringLiteral("-") },
        &raw);
    return raw;
}

QByteArray le32(quint32 value)
{
    QByteArray bytes(4, '\0');
    qToLittleEndian(value, bytes.data());
    return bytes;
}

QByteArray le16(quint16 value)
{
    QByteArray bytes(2, '\0');
    qToLittleEndian(value, bytes.data());
    return bytes;
}

QByteArray wavBytes(const QByteArray &audio, quint32 sampleRate, quint16 channels, quint16 bits,
                    quint16 format)
{
    const quint16 align = quint16(channels * bits / 8);
    return "RIFF" + le32(quint32(36 + audio.size())) + "WAVE" + "fmt " + le32(16) + le16(format)
        + le16(channels) + le32(sampleRate) + le32(sampleRate * align) + le16(align) + le16(bits)
        + "data" + le32(quint32(audio.size())) + audio;
}

double correlation(const QByteArray &a, const QByteArray &b, int maxLag, int *bestLag)
{
    double best = -1.0;
    for (int lag = -maxLag; lag <= maxLag; ++lag) {
        double sab = 0, saa = 0, sbb = 0;
        for (int i = 0; i < a.size(); ++i) {
            const int j = i + lag;
            if (j < 0 || j >= b.size())
                continue;
            const double x = quint8(a[i]) - 128.0;
            const double y = quint8(b[j]) - 128.0;
            sab += x * y;
            saa += x * x;
            sbb += y * y;
        }
        if (saa <= 0 || sbb <= 0)
            continue;
        const double c = sab / std::sqrt(saa * sbb);
        if (c > best) {
            best = c;
            if (bestLag)
                *bestLag = lag;
        }
    }
    return best;
}

} // namespace SoundTestKit
