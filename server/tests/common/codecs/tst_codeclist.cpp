// The enabled-codec list built from the "codec1".."codec4" settings, and its readers.
#include "common/codecs/audiocodec.h"
#include "testmain.h"

#include <QTest>

#include <atomic>
#include <thread>
#include <vector>

using Codecs = QList<AudioCodec::Type>;
Q_DECLARE_METATYPE(Codecs)

class TestCodecList : public QObject
{
    Q_OBJECT

private slots:
    void setCodecs_data()
    {
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<Codecs>("expected");
        QTest::addColumn<QString>("payloads");
        using A = AudioCodec;
        QTest::newRow("defaults") << QStringList { "8", "0", "3", "9" }
                                  << Codecs { A::PCMA, A::PCMU, A::GSM, A::G722, A::TelephoneEvent }
                                  << "8 0 3 9 101";
        QTest::newRow("empty") << QStringList()
                               << Codecs { A::PCMA, A::PCMU, A::G722, A::GSM, A::TelephoneEvent }
                               << "8 0 9 3 101";
        QTest::newRow("repeats and text")
            << QStringList { "9", "x", "8", "9" }
            << Codecs { A::G722, A::PCMU, A::PCMA, A::TelephoneEvent } << "9 0 8 101";
        QTest::newRow("events in the middle")
            << QStringList { "0", "101", "101", "3" }
            << Codecs { A::PCMU, A::TelephoneEvent, A::GSM } << "0 101 3";
        // 255 is "no codec"; unknown numbers are dropped; numbers count by their low 8 bits.
        QTest::newRow("none and unknown")
            << QStringList { "255", "18", "96", "-1" } << Codecs { A::TelephoneEvent } << "101";
        QTest::newRow("low 8 bits")
            << QStringList { "264", "256", " 3 ", "-248" }
            << Codecs { A::PCMA, A::PCMU, A::GSM, A::TelephoneEvent } << "8 0 3 101";
        QTest::newRow("empty texts") << QStringList { "", "", "9", "" }
                                     << Codecs { A::PCMU, A::G722, A::TelephoneEvent } << "0 9 101";
    }

    void setCodecs()
    {
        QFETCH(QStringList, texts);
        QFETCH(Codecs, expected);
        QFETCH(QString, payloads);
        AudioCodec::setCodecs({ "3" });
        QCOMPARE(AudioCodec::setCodecs(texts), expected);
        QCOMPARE(AudioCodec::codecs(), expected);
        QCOMPARE(AudioCodec::payloadListSip(), payloads);
        QCOMPARE(AudioCodec::payloadList(), payloads);
        for (int i = -1; i <= expected.size(); ++i)
            QCOMPARE(AudioCodec::codecAt(i), i >= 0 && i < expected.size() ? expected.at(i) : -1);
        for (const int payload : { 0, 3, 8, 9, 96, 101, 255 })
            QCOMPARE(AudioCodec::isEnabled(quint8(payload)),
                     payloads.split(' ').contains(QString::number(payload)));
    }

    // Audio threads read while the web side saves the settings.
    void readersNeverSeeAHalfList()
    {
        const QStringList a = { "8", "0", "3", "9" };
        const QStringList b = { "9", "3" };
        AudioCodec::setCodecs(a);
        std::atomic<bool> stop { false };
        std::atomic<int> bad { 0 };
        std::vector<std::thread> readers;
        for (int i = 0; i < 3; ++i)
            readers.emplace_back([&] {
                while (!stop) {
                    const QString text = AudioCodec::payloadListSip();
                    const int size = AudioCodec::codecs().size();
                    bad += (text != "8 0 3 9 101" && text != "9 3 101") || (size != 5 && size != 3);
                }
            });
        for (int i = 0; i < 20000; ++i)
            AudioCodec::setCodecs(i % 2 ? a : b);
        stop = true;
        for (std::thread &reader : readers)
            reader.join();
        QCOMPARE(bad.load(), 0);
    }
};

TARNHALL_TEST_MAIN(TestCodecList)
#include "tst_codeclist.moc"
