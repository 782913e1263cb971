#pragma once

#include "../../toolkit.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

// A tone mix below 2.5 kHz with a slow envelope and, optionally, some noise: speech-like
// enough to exercise every quantiser step, reproducible from run to run. Without noise the
// same mix at a multiple of the rate holds it at finer sample phases. 16-bit little-endian PCM.
QByteArray toneMix(int sampleRate, int samples, bool noisy = true);

// Every factor-th sample, starting at the given one (16-bit PCM).
QByteArray decimate(const QByteArray &pcm, int factor, int first);

// Signal-to-noise ratio in dB of test against reference (both 16-bit PCM), after finding the
// delay (0..maxLag samples, test lagging) and gain that fit best. Skips the first samples,
// where a codec is still settling.
double bestSnrDb(const QByteArray &reference, const QByteArray &test, int maxLag, int skip);
