#pragma once

#include "../codecs/codectestsupport.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// What the sound tests share: log capture, the reference tools and hand-made audio.
namespace SoundTestKit {

// A path in the test's own temporary folder, and a file written there.
QString tempPath(const QString &name);
QString tempFile(const QString &name, const QByteArray &bytes);

// Starts the logger (in the test's private log folder) and records every line it writes.
void startLogCapture();
// The texts (after "[time] [KIND]: ") logged since the last call.
QStringList takeLog();

// sox: a test signal written with the given format options ("-r 8000 -b 8 -e unsigned").
bool soxSignal(const QString &path, const QString &format, const QString &seconds,
               const QStringList &synth = { "sine", "440" });
// lame: a 16-bit sox signal of that rate and channel count as an MP3 (kept if it exists).
QString lameMp3(const QString &path, int rate, int channels, const QStringList &synth,
                const QString &seconds = "2");
// The audio of any file as raw 8-bit unsigned mono at the given rate, decoded by ffmpeg.
QByteArray ffmpegRaw8(const QString &path, int rate);

// Reads a sound by id from its start for at most maxFrames frames, until a read is empty.
QByteArray playById(int id, int maxFrames);

// The sample rate of a frequency type (0, 1, 2).
inline int rateOf(int frequencyType)
{
    return 8000 * (frequencyType == 0 ? 1 : frequencyType == 1 ? 3 : 6);
}

// A canonical 44-byte-header WAV with the given fields and audio.
QByteArray wavBytes(const QByteArray &audio, quint32 sampleRate = 8000);
QByteArray le32(quint32 value);
// count frames of size bytes, the k-th all of byte first + k: frames that can be told apart.
QByteArray numberedFrames(int first, int count, int size = 160);
inline QByteArray silence8(int n = 160)
{
    return QByteArray(n, char(0x80));
}

// Best normalised cross-correlation of two 8-bit unsigned signals within +-maxLag samples.
inline double correlation(const QByteArray &a, const QByteArray &b, int maxLag,
                          int *bestLag = nullptr)
{
    return bestCorrelation(samples8(a), samples8(b), -maxLag, maxLag, 0, bestLag);
}

} // namespace SoundTestKit
