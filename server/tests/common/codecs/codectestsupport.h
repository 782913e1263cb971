#pragma once

#include "../../toolkit.h"

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
