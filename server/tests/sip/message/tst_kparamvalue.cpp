#include "sip/message/kparamvalue.h"

#include <QtTest>

class TestKParamValue : public QObject
{
    Q_OBJECT

private slots:
    void namesAreCaseInsensitive()
    {
        const KParamValue list(QStringLiteral("expires=3600;Q=0.5"), QStringLiteral(";"));
        QCOMPARE(list.param(QStringLiteral("expires")), QStringLiteral("3600"));
        QCOMPARE(list.param(QStringLiteral("EXPIRES")), QStringLiteral("3600"));
        QCOMPARE(list.param(QStringLiteral("q")), QStringLiteral("0.5"));
        QVERIFY(list.hasParam(QStringLiteral("Q")));
        QCOMPARE(list.params().size(), 2);
    }

    void bareNamesAndNoLeadingValue()
    {
        const KParamValue lr(QStringLiteral("lr"), QStringLiteral(";"));
        QVERIFY(lr.hasParam(QStringLiteral("lr")));
        QCOMPARE(lr.param(QStringLiteral("lr"), QStringLiteral("x")), QString());
        QCOMPARE(lr.toString(QStringLiteral(";")), QStringLiteral("lr"));

        const KParamValue transport(QStringLiteral("RTP/AVP;unicast;client_port=5000-5001"),
                                    QStringLiteral(";"));
        QCOMPARE(transport.params().size(), 3);
        QVERIFY(transport.hasParam(QStringLiteral("rtp/avp")));
        QVERIFY(transport.hasParam(QStringLiteral("unicast")));
        QCOMPARE(transport.param(QStringLiteral("client_port")), QStringLiteral("5000-5001"));
    }

    void quotesAreRemovedNotHonoured()
    {
        const KParamValue tag(QStringLiteral("tag = \" a b \""), QStringLiteral(";"));
        QCOMPARE(tag.param(QStringLiteral("tag")), QStringLiteral("a b"));

        // A separator inside quotes still splits; the tail keeps its closing quote as a name.
        const KParamValue split(QStringLiteral("x=\"a;b\""), QStringLiteral(";"));
        QCOMPARE(split.param(QStringLiteral("x")), QStringLiteral("a"));
        QVERIFY(split.hasParam(QStringLiteral("b\"")));
        QCOMPARE(split.param(QStringLiteral("b\"")), QString());
    }

    void emptyPiecesAndNames()
    {
        const KParamValue list(QStringLiteral("a=1;;b=2"), QStringLiteral(";"));
        QVERIFY(list.hasParam(QString()));
        QVERIFY(!list.isEmpty());
        const QStringList written = list.toString(QStringLiteral(";")).split(QLatin1Char(';'));
        QCOMPARE(QSet<QString>(written.begin(), written.end()),
                 (QSet<QString> { QStringLiteral("a=1"), QStringLiteral("b=2") }));

        const KParamValue nameless(QStringLiteral("=5"), QStringLiteral(";"));
        QCOMPARE(nameless.param(QString()), QStringLiteral("5"));
        QCOMPARE(nameless.toString(QStringLiteral(";")), QString());
        QVERIFY(!nameless.isEmpty());

        QCOMPARE(
            KParamValue(QStringLiteral("a=1;a=2"), QStringLiteral(";")).param(QStringLiteral("a")),
            QStringLiteral("2"));
        QVERIFY(KParamValue(QString(), QStringLiteral(";")).isEmpty());
        QVERIFY(KParamValue(QStringLiteral("  \t "), QStringLiteral(";")).isEmpty());
    }

    void settersKeepTheValueText()
    {
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
        QCOMPARE(list.separator(), QStringLiteral(";"));
    }

    void equalityComparesTextAndTable()
    {
        const KParamValue ab(QStringLiteral("a=1;b=2"), QStringLiteral(";"));
        const KParamValue ba(QStringLiteral("b=2;a=1"), QStringLiteral(";"));
        QCOMPARE(ab.params(), ba.params());
        QVERIFY(ab != ba);
        QVERIFY(KParamValue(QStringLiteral("a=1"), QStringLiteral(";"))
                == KParamValue(QStringLiteral("a=1"), QStringLiteral(",")));
    }

    void otherSeparators()
    {
        const KParamValue headers(QStringLiteral("subject=x?priority=urgent"), QStringLiteral("?"));
        QCOMPARE(headers.param(QStringLiteral("priority")), QStringLiteral("urgent"));
        const KParamValue none(QStringLiteral("a=1;b"), QString());
        QCOMPARE(none.param(QStringLiteral("a")), QStringLiteral("1;b"));
    }
};

QTEST_APPLESS_MAIN(TestKParamValue)
#include "tst_kparamvalue.moc"
