#pragma once

#include "../../toolkit.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// What the sound tests share: log capture, the reference tools and hand-made WAV files.
namespace SoundTestKit {

// Starts the logger (in the test's private log folder) and records every line it writes.
void startLogCapture();
// The texts (after "[time] [KIND]: ") logged since the last call.
QStringList takeLog();

// Runs a reference tool from /usr/bin.
inline bool run(const QString &program, const QStringList &arguments, QByteArray *output = nullptr)
{
    return runTool(QStringLiteral("/usr/bin/") + program, arguments, nullptr, output);
}

// sox: a test signal written with the given format options (e.g. "-b", "8", "-e", "unsigned").
bool soxSignal(const QString &path, const QStringList &format, const QString &seconds,
               const QStringList &synth = { QStringLiteral("sine"), QStringLiteral("440") });
// The audio of any file as raw 8-bit unsigned mono at the given rate, decoded by ffmpeg.
QByteArray ffmpegRaw8(const QString &path, int rate);

// A canonical 44-byte-header WAV with the given fields and audio; sizes may lie on purpose.
QByteArray wavBytes(const QByteArray &audio, quint32 sampleRate = 8000, quint16 channels = 1,
                    quint16 bits = 8, quint16 format = 1);
QByteArray le32(quint32 value);
QByteArray le16(quint16 value);

// Best normalised cross-correlation of two 8-bit unsigned signals within +-maxLag samples.
double correlation(const QByteArray &a, const QByteArray &b, int maxLag, int *bestLag = nullptr);

// A frame of n bytes of 8-bit silence.
inline QByteArray silence8(int n)
{
    return QByteArray(n, char(0x80));
}

} // namespace SoundTestKit
