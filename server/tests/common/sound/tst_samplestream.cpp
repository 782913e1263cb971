#include "common/sound/samplestream.h"

#include <QtTest>

namespace {

QByteArray frame(quint64 id)
{
    return QByteArray(SampleStream::FrameBytes, char(id & 0x7f));
}

void pushRange(SampleStream &stream, quint64 first, quint64 last)
{
    for (quint64 id = first; id <= last; ++id)
        stream.push(id, frame(id));
}

} // namespace

class TestSampleStream : public QObject
{
    Q_OBJECT

private slots:
    void startsOnlyAtTheStartLevel()
    {
        SampleStream stream;
        pushRange(stream, 1, 9);
        QVERIFY(stream.take().isEmpty());
        QCOMPARE(stream.takeOrSilence(), QByteArray(320, '\0'));
        QCOMPARE(stream.count(), 9);
        stream.push(10, frame(10));
        QVERIFY(stream.isStarted());
        QCOMPARE(stream.take(), frame(1));
        QCOMPARE(stream.takeOrSilence(), frame(2));
    }

    void boundedToTenNewestFrames()
    {
        SampleStream stream;
        pushRange(stream, 1, 12);
        QCOMPARE(stream.ids(), (QList<quint64> { 3, 4, 5, 6, 7, 8, 9, 10, 11, 12 }));
    }

    void dropsLateDuplicateAndReorderedFrames()
    {
        SampleStream stream;
        stream.push(5, frame(5));
        stream.push(6, frame(6));
        stream.push(6, frame(99));
        stream.push(4, frame(4));
        QCOMPARE(stream.ids(), (QList<quint64> { 5, 6 }));
        stream.push(7, frame(7));
        QCOMPARE(stream.ids(), (QList<quint64> { 5, 6, 7 }));

        // A wrapped 16-bit sequence number is refused while higher ids are held ...
        SampleStream wrapped;
        pushRange(wrapped, 65530, 65535);
        wrapped.push(0, frame(0));
        QCOMPARE(wrapped.count(), 6);
    }

    void emptiedStreamAcceptsAnyIdAndStaysStarted()
    {
        SampleStream stream;
        pushRange(stream, 100, 109);
        while (!stream.take().isEmpty()) { }
        // ... and accepted again, at once, once the stream has run empty.
        stream.push(3, frame(3));
        QCOMPARE(stream.take(), frame(3));
        QVERIFY(stream.take().isEmpty());
        QCOMPARE(stream.takeOrSilence(), SampleStream::silenceFrame());
    }

    void ignoresFramesOfTheWrongSize()
    {
        SampleStream stream;
        for (quint64 id = 1; id <= 10; ++id) {
            stream.push(id, QByteArray(319, 'a'));
            stream.push(id + 100, QByteArray(321, 'a'));
        }
        QCOMPARE(stream.count(), 0);
        QVERIFY(!stream.isStarted());
        stream.push(1, QByteArray());
        QCOMPARE(stream.count(), 0);
    }

    void clearRefillsToTheStartLevel()
    {
        SampleStream stream;
        pushRange(stream, 1, 10);
        QVERIFY(!stream.take().isEmpty());
        stream.clear();
        QVERIFY(!stream.isStarted());
        pushRange(stream, 1, 9);
        QVERIFY(stream.take().isEmpty());
        stream.push(10, frame(10));
        QCOMPARE(stream.take(), frame(1));
    }

    void sharesFrameDataInsteadOfCopying()
    {
        SampleStream stream;
        const QByteArray data = frame(1);
        stream.push(1, data);
        pushRange(stream, 2, 10);
        const QByteArray out = stream.take();
        QCOMPARE(out.constData(), data.constData());
    }
};

QTEST_GUILESS_MAIN(TestSampleStream)
#include "tst_samplestream.moc"
