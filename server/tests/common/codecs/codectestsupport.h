#pragma once

#include "../../toolkit.h"

#include <QVector>
#include <QtEndian>

#include <cmath>

// A tone mix below 2.5 kHz with a slow envelope and, optionally, some noise: speech-like
// enough to exercise every quantiser step, reproducible from run to run. Without noise the
// same mix at a multiple of the rate holds it at finer sample phases. 16-bit little-endian PCM.
inline QByteArray toneMix(int sampleRate, int samples, bool noisy = true)
{
    QByteArray out(2 * samples, '\0');
    quint32 noise = 12345;
    for (int i = 0; i < samples; ++i) {
        const double t = double(i) / sampleRate;
        const double envelope = 0.55 + 0.45 * std::sin(2 * M_PI * 1.5 * t);
        double v = 7000 * std::sin(2 * M_PI * 440 * t) + 4000 * std::sin(2 * M_PI * 1130 * t)
            + 2500 * std::sin(2 * M_PI * 2210 * t);
        noise = noise * 1664525u + 1013904223u;
        v = v * envelope + (noisy ? (int(noise >> 20) - 2048) / 8.0 : 0.0);
        qToLittleEndian<qint16>(qint16(std::lround(v)), out.data() + 2 * i);
    }
    return out;
}

// Samples as numbers: 16-bit signed little-endian, or 8-bit unsigned (128 is silence).
inline QVector<double> samples16(const QByteArray &pcm)
{
    QVector<double> out(pcm.size() / 2);
    for (int i = 0; i < out.size(); ++i)
        out[i] = qFromLittleEndian<qint16>(pcm.constData() + 2 * i);
    return out;
}
inline QVector<double> samples8(const QByteArray &pcm)
{
    QVector<double> out(pcm.size());
    for (int i = 0; i < out.size(); ++i)
        out[i] = quint8(pcm[i]) - 128.0;
    return out;
}

// The best normalised cross-correlation of b against a over lags minLag..maxLag (b lagging
// when positive), from sample skip of a on: 1 is a perfect match up to gain, and the error
// left after the best gain is 1 - c^2 of a's energy.
inline double bestCorrelation(const QVector<double> &a, const QVector<double> &b, int minLag,
                              int maxLag, int skip = 0, int *bestLag = nullptr)
{
    double best = -1;
    for (int lag = minLag; lag <= maxLag; ++lag) {
        double ab = 0, aa = 0, bb = 0;
        for (int i = qMax(skip, -lag); i < a.size() && i + lag < b.size(); ++i) {
            ab += a[i] * b[i + lag];
            aa += a[i] * a[i];
            bb += b[i + lag] * b[i + lag];
        }
        const double c = aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : -1;
        if (c > best && bestLag)
            *bestLag = lag;
        best = qMax(best, c);
    }
    return best;
}
