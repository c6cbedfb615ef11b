#include "logline.h"

#include <QTest>

class TestLogLine : public QObject
{
    Q_OBJECT

private slots:
    void lastLine_data();
    void lastLine();
};

void TestLogLine::lastLine_data()
{
    QTest::addColumn<QByteArray>("tail");
    QTest::addColumn<bool>("startsAtLineStart");
    QTest::addColumn<QString>("expected");

    QTest::newRow("nothing") << QByteArray() << true << QString();
    QTest::newRow("only line ends and blanks") << QByteArray("\n\r\n \t\n") << true << QString();
    QTest::newRow("last of several, blank lines after it")
        << QByteArray("starting\nbind 127.0.0.1:27888: Address in use\n\n  \n") << true
        << QStringLiteral("bind 127.0.0.1:27888: Address in use");
    QTest::newRow("CR LF and no final line end")
        << QByteArray("one\r\ntwo\r\nthree") << true << QStringLiteral("three");
    QTest::newRow("control characters become blanks")
        << QByteArray("a\tb\x1b[31mred\x7f\x01") << true << QStringLiteral("a b [31mred");
    QTest::newRow("invalid UTF-8 becomes U+FFFD")
        << QByteArray("ok \xff\xfe end\n") << true << QStringLiteral("ok \uFFFD\uFFFD end");
    QTest::newRow("UTF-8 kept") << QByteArray("Zürich ✓\n") << true << QStringLiteral("Zürich ✓");
    QTest::newRow("cut mid-character at the tail's start")
        << QByteArray("\xa9\xa9 rest") << false << QStringLiteral("rest");
    QTest::newRow("a line too long is cut to 200") << QByteArray(5000, 'x') << false << QString(200, u'x');
    QTest::newRow("no half of a surrogate pair at the cut")
        << (QByteArray(199, 'y') + "\xf0\x9f\x98\x80" + QByteArray(10, 'z')) << true << QString(199, u'y');
}

void TestLogLine::lastLine()
{
    QFETCH(QByteArray, tail);
    QFETCH(bool, startsAtLineStart);
    QFETCH(QString, expected);

    QCOMPARE(lastLogLine(tail, startsAtLineStart), expected);
}

QTEST_GUILESS_MAIN(TestLogLine)
#include "tst_logline.moc"
