#include "common/sound/samplestream.h"
#include "testmain.h"

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
    void startsOnlyAtTheStartLevelAgainAfterClear()
    {
        SampleStream stream;
        for (int round = 0; round < 2; ++round) {
            pushRange(stream, 1, 9);
            QVERIFY(stream.take().isEmpty());
            QCOMPARE(stream.takeOrSilence(), QByteArray(320, '\0'));
            stream.push(10, frame(10));
            QCOMPARE(stream.take(), frame(1));
            QCOMPARE(stream.takeOrSilence(), frame(2));
            stream.clear();
            QVERIFY(!stream.isStarted());
        }
    }

    // The newest ten in order; late, repeated and odd-sized frames are dropped.
    void keepsTheNewestInOrder()
    {
        SampleStream stream;
        pushRange(stream, 1, 12);
        QCOMPARE(stream.ids(), (QList<quint64> { 3, 4, 5, 6, 7, 8, 9, 10, 11, 12 }));

        SampleStream late;
        for (quint64 id : { 5, 6, 4, 7 })
            late.push(id, frame(id));
        late.push(6, frame(99));
        late.push(8, QByteArray(319, 'a'));
        late.push(9, QByteArray(321, 'a'));
        late.push(10, QByteArray());
        QCOMPARE(late.ids(), (QList<quint64> { 5, 6, 7 }));

        // A wrapped 16-bit sequence number is refused while higher ids are held, and accepted
        // at once when the stream has run empty.
        stream.clear();
        pushRange(stream, 65530, 65535);
        stream.push(0, frame(0));
        QCOMPARE(stream.count(), 6);
        pushRange(stream, 65536, 65539);
        while (!stream.take().isEmpty()) { }
        stream.push(3, frame(3));
        QCOMPARE(stream.take(), frame(3));
        QCOMPARE(stream.takeOrSilence(), SampleStream::silenceFrame());
    }
};

TARNHALL_TEST_MAIN(TestSampleStream)
#include "tst_samplestream.moc"
