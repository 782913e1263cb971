#include "sip/message/kparamvalue.h"
#include "testmain.h"

#include <QtTest>

#include <algorithm>

class TestKParamValue : public QObject
{
    Q_OBJECT

private slots:
    void reading_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("separator");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("present");
        QTest::addColumn<QString>("value");
        const QString semi = QStringLiteral(";");
        QTest::newRow("any case") << "expires=3600;Q=0.5" << semi << "EXPIRES" << true << "3600";
        QTest::newRow("bare name") << "lr" << semi << "lr" << true << "";
        QTest::newRow("no leading value")
            << "RTP/AVP;unicast;client_port=5000-5001" << semi << "rtp/avp" << true << "";
        QTest::newRow("after bare names") << "RTP/AVP;unicast;client_port=5000-5001" << semi
                                          << "client_port" << true << "5000-5001";
        QTest::newRow("quotes removed") << "tag = \" a b \"" << semi << "tag" << true << "a b";
        // A separator inside quotes still splits; the tail keeps its closing quote as a name.
        QTest::newRow("quotes not honoured") << "x=\"a;b\"" << semi << "x" << true << "a";
        QTest::newRow("quoted tail") << "x=\"a;b\"" << semi << "b\"" << true << "";
        QTest::newRow("empty piece") << "a=1;;b=2" << semi << "" << true << "";
        QTest::newRow("nameless") << "=5" << semi << "" << true << "5";
        QTest::newRow("last wins") << "a=1;a=2" << semi << "a" << true << "2";
        QTest::newRow("blank") << "  \t " << semi << "" << false << "";
        QTest::newRow("headers") << "subject=x?priority=urgent"
                                 << "?"
                                 << "priority" << true << "urgent";
        QTest::newRow("no separator") << "a=1;b" << QString() << "a" << true << "1;b";
    }

    void reading()
    {
        QFETCH(QString, text);
        QFETCH(QString, separator);
        QFETCH(QString, name);
        QFETCH(bool, present);
        QFETCH(QString, value);
        const KParamValue list(text, separator);
        QCOMPARE(list.hasParam(name), present);
        QCOMPARE(list.param(name, QStringLiteral("x")), present ? value : QStringLiteral("x"));
        QCOMPARE(list.isEmpty(), !present);
    }

    void writingAndChanging()
    {
        const QStringList written = KParamValue(QStringLiteral("a=1;;b=2"), QStringLiteral(";"))
                                        .toString(QStringLiteral(";"))
                                        .split(QLatin1Char(';'));
        QCOMPARE(QSet<QString>(written.begin(), written.end()),
                 (QSet<QString> { QStringLiteral("a=1"), QStringLiteral("b=2") }));
        QCOMPARE(KParamValue(QStringLiteral("=5"), QStringLiteral(";")).toString(";"), QString());
        QCOMPARE(KParamValue(QStringLiteral("lr"), QStringLiteral(";")).toString(";"),
                 QStringLiteral("lr"));

        KParamValue list(QStringLiteral(" a=1 "), QStringLiteral(";"));
        QCOMPARE(list.value(), QStringLiteral("a=1"));
        QCOMPARE(list.param(QStringLiteral("absent"), QStringLiteral("  dflt ")),
                 QStringLiteral("dflt"));
        list.setParam(QStringLiteral("Branch"), QStringLiteral("  z9hG4bK1 "));
        QCOMPARE(list.param(QStringLiteral("branch")), QStringLiteral("z9hG4bK1"));
        list.removeParam(QStringLiteral("A"));
        QVERIFY(!list.hasParam(QStringLiteral("a")));
        QCOMPARE(list.value(), QStringLiteral("a=1"));
        list.clear();
        QVERIFY(list.isEmpty());

        // Equality compares the text as well as the table.
        const KParamValue ab(QStringLiteral("a=1;b=2"), QStringLiteral(";"));
        const KParamValue ba(QStringLiteral("b=2;a=1"), QStringLiteral(";"));
        QCOMPARE(ab.params(), ba.params());
        QVERIFY(ab != ba);
        // Whatever order they were read in, the same parameters are written the same way.
        QStringList many;
        for (char c = 'a'; c <= 'p'; ++c)
            many << QString(QLatin1Char(c)) + QStringLiteral("=1");
        const QString forward = KParamValue(many.join(';'), QStringLiteral(";")).toString(";");
        std::reverse(many.begin(), many.end());
        QCOMPARE(KParamValue(many.join(';'), QStringLiteral(";")).toString(";"), forward);
        QVERIFY(KParamValue(QStringLiteral("a=1"), QStringLiteral(";"))
                == KParamValue(QStringLiteral("a=1"), QStringLiteral(",")));
    }
};

TARNHALL_TEST_APPLESS_MAIN(TestKParamValue)
#include "tst_kparamvalue.moc"
