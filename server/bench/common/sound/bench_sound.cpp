// Cost of one 20 ms frame read from an MP3 source (decode, mix to mono, resample, narrow to
// 8 bits) at each rate and converter, from a source two readers share (each read seeks), and
// of a WAV read for comparison. Needs sox and lame to make its input.
// Run: build/server/bench/common/sound/bench_sound
#include "common/sound/sound_wav/soundwav.h"

#include <QString>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <cstdlib>

namespace {

QTemporaryDir &workDir()
{
    static QTemporaryDir dir;
    return dir;
}

// Ten seconds of 44.1 kHz stereo music-like audio, encoded by lame at 128 kbit/s.
const QString &musicFile()
{
    static const QString mp3 = [] {
        const QString wav = workDir().filePath("music.wav");
        const QString out = workDir().filePath("music.mp3");
        const QString make
            = QStringLiteral(
                  "/usr/bin/sox -R -n -r 44100 -c 2 -b 16 '%1' synth 10 pluck C4 pluck E4 pluck G4 "
                  "tremolo 3 40 && /usr/bin/lame --quiet -b 128 '%1' '%2'")
                  .arg(wav, out);
        if (std::system(make.toLocal8Bit().constData()) != 0)
            std::abort();
        return out;
    }();
    return mp3;
}

const QString &wavFile()
{
    static const QString wav = [] {
        const QString out = workDir().filePath("prompt.wav");
        const QString make
            = QStringLiteral("/usr/bin/sox -R -D -n -r 8000 -c 1 -b 8 -e unsigned '%1' synth 5 "
                             "sine 425")
                  .arg(out);
        if (std::system(make.toLocal8Bit().constData()) != 0)
            std::abort();
        return out;
    }();
    return wav;
}

void BM_Mp3Read(benchmark::State &state)
{
    SoundWAV sound(SoundWAV::Mp3, musicFile(), quint16(state.range(0)), true, int(state.range(1)));
    sound.load();
    QString file;
    int frameNumber = 0;
    qint64 position = 0;
    QByteArray frame;
    for (auto _ : state) {
        sound.readMp3(file, frameNumber, position, frame);
        benchmark::DoNotOptimize(frame.constData());
    }
    state.SetLabel(QStringLiteral("%1 Hz, converter %2")
                       .arg(8000
                            * (state.range(0) == 0       ? 1
                                   : state.range(0) == 1 ? 3
                                                         : 6))
                       .arg(state.range(1))
                       .toStdString());
}
BENCHMARK(BM_Mp3Read)
    ->Args({ 0, 0 })
    ->Args({ 0, 2 })
    ->Args({ 0, 4 })
    ->Args({ 1, 2 })
    ->Args({ 2, 0 })
    ->Args({ 2, 2 })
    ->Args({ 2, 4 });

void BM_Mp3ReadTwoReaders(benchmark::State &state)
{
    SoundWAV sound(SoundWAV::Mp3, musicFile(), 0, true, 2);
    sound.load();
    QString files[2];
    int frames[2] = { 0, 0 };
    qint64 positions[2] = { 0, 0 };
    QByteArray frame;
    for (int i = 0; i < 100; ++i) // the second reader starts two seconds behind
        sound.readMp3(files[0], frames[0], positions[0], frame);
    int reader = 0;
    for (auto _ : state) {
        sound.readMp3(files[reader], frames[reader], positions[reader], frame);
        benchmark::DoNotOptimize(frame.constData());
        reader ^= 1;
    }
}
BENCHMARK(BM_Mp3ReadTwoReaders);

void BM_WavRead(benchmark::State &state)
{
    SoundWAV sound(SoundWAV::Wav, wavFile(), 0, true, 0);
    sound.load();
    qint64 position = 0;
    QByteArray frame;
    for (auto _ : state) {
        sound.read(frame, position);
        benchmark::DoNotOptimize(frame.constData());
    }
}
BENCHMARK(BM_WavRead);

void BM_WavReadById(benchmark::State &state)
{
    static const int id = [] {
        const int created = SoundWAV::create(SoundWAV::Wav, wavFile(), 0, true, 0);
        SoundWAV::loadSound(created);
        return created;
    }();
    quint64 position = 0;
    QByteArray frame;
    for (auto _ : state) {
        SoundWAV::readFrame16(id, frame, position);
        benchmark::DoNotOptimize(frame.constData());
    }
}
BENCHMARK(BM_WavReadById);

} // namespace

BENCHMARK_MAIN();
