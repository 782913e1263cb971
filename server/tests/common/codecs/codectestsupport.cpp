#include "codectestsupport.h"

#include <QtEndian>

#include <cmath>

QByteArray toneMix(int sampleRate, int samples, bool noisy)
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

QByteArray decimate(const QByteArray &pcm, int factor, int first)
{
    QByteArray out;
    for (int i = 2 * first; i + 1 < pcm.size(); i += 2 * factor)
        out.append(pcm.constData() + i, 2);
    return out;
}

namespace {
double sampleAt(const QByteArray &pcm, int i)
{
    return qFromLittleEndian<qint16>(pcm.constData() + 2 * i);
}
} // namespace

double bestSnrDb(const QByteArray &reference, const QByteArray &test, int maxLag, int skip)
{
    double best = -1000;
    for (int lag = 0; lag <= maxLag; ++lag) {
        const int n = qMin(reference.size() / 2, test.size() / 2 - lag);
        if (n <= skip)
            break;
        double rr = 0, rt = 0, tt = 0;
        for (int i = skip; i < n; ++i) {
            const double r = sampleAt(reference, i);
            const double t = sampleAt(test, i + lag);
            rr += r * r;
            rt += r * t;
            tt += t * t;
        }
        if (tt <= 0 || rr <= 0)
            continue;
        // Least-squares gain g = rt / tt; the remaining error is rr - rt^2 / tt.
        const double error = rr - rt * rt / tt;
        const double snr = error <= 0 ? 200 : 10 * std::log10(rr / error);
        best = qMax(best, snr);
    }
    return best;
}
