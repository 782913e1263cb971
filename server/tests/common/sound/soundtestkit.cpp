#include "soundtestkit.h"

#include "common/sound/sound_wav/soundwav.h"
#include "core/env.h"

#include <QCoreApplication>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QtEndian>

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

QString tempPath(const QString &name)
{
    static QTemporaryDir dir;
    return dir.filePath(name);
}

QString tempFile(const QString &name, const QByteArray &bytes)
{
    writeFile(tempPath(name), bytes);
    return tempPath(name);
}

QByteArray playById(int id, int maxFrames)
{
    QByteArray audio;
    QByteArray frame;
    quint64 position = 0;
    for (int i = 0; i < maxFrames; ++i) {
        SoundWAV::readFrame(id, frame, position);
        if (frame.isEmpty())
            break;
        audio += frame;
        frame.clear();
    }
    return audio;
}

bool soxSignal(const QString &path, const QString &format, const QString &seconds,
               const QStringList &synth)
{
    return runTool("sox",
                   QStringList { "-R", "-D", "-n" } + format.split(' ')
                       + QStringList { path, "synth", seconds } + synth);
}

QString lameMp3(const QString &path, int rate, int channels, const QStringList &synth,
                const QString &seconds)
{
    if (!QFile::exists(path))
        soxSignal(path + ".wav", QString("-r %1 -c %2 -b 16").arg(rate).arg(channels), seconds,
                  synth)
            && runTool("lame", { "--quiet", path + ".wav", path });
    return path;
}

QByteArray ffmpegRaw8(const QString &path, int rate)
{
    QByteArray raw;
    runTool(
        "ffmpeg",
        { "-v", "error", "-i", path, "-ac", "1", "-ar", QString::number(rate), "-f", "u8", "-" },
        nullptr, &raw);
    return raw;
}

QByteArray le32(quint32 value)
{
    QByteArray bytes(4, '\0');
    qToLittleEndian(value, bytes.data());
    return bytes;
}

QByteArray wavBytes(const QByteArray &audio, quint32 sampleRate)
{
    // PCM, mono, 8 bits: the byte rate is the sample rate and a block is one byte.
    return "RIFF" + le32(quint32(36 + audio.size())) + "WAVE" + "fmt " + le32(16) + le32(0x10001)
        + le32(sampleRate) + le32(sampleRate) + le32(0x80001) + "data" + le32(quint32(audio.size()))
        + audio;
}

QByteArray numberedFrames(int first, int count, int size)
{
    QByteArray audio;
    for (int k = 0; k < count; ++k)
        audio += QByteArray(size, char(first + k));
    return audio;
}

} // namespace SoundTestKit
