#include "motdcodec.h"

#include <QTest>

class TestMotdCodec : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip_data();
    void roundTrip();
    void decodeForeignValues_data();
    void decodeForeignValues();
    void splitsLongMessages();
    void editorText_data();
    void editorText();
};

void TestMotdCodec::roundTrip_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QString>("atForm");
    QTest::addColumn<QString>("decoded");

    QTest::newRow("starting text") << "Welcome!\r\n"
                                   << QStringList{"Welcome!", ""} << "Welcome!@@"
                                   << "Welcome!\r\n";
    QTest::newRow("one line") << "Hello" << QStringList{"Hello"} << "Hello@"
                              << "Hello";
    QTest::newRow("empty") << "" << QStringList{""} << "@"
                           << "";
    QTest::newRow("only a break") << "\r\n"
                                  << QStringList{"", ""} << "@@"
                                  << "\r\n";
    QTest::newRow("two lines") << "one\r\ntwo" << QStringList{"one", "two"} << "one@two@"
                               << "one\r\ntwo";
    QTest::newRow("blank line between") << "one\r\n\r\ntwo" << QStringList{"one", "", "two"} << "one@@two@"
                                        << "one\r\n\r\ntwo";
    QTest::newRow("break at the end") << "one\r\ntwo\r\n"
                                      << QStringList{"one", "two", ""} << "one@two@@"
                                      << "one\r\ntwo\r\n";
    QTest::newRow("@ inside a line") << "a@b\r\nc" << QStringList{"a@b", "c"} << "a@b@c@"
                                     << "a\r\nb\r\nc";
    // A lone CR or LF is a line break of its own and loses no character.
    QTest::newRow("lone CR") << "a\rbc" << QStringList{"a", "bc"} << "a@bc@"
                             << "a\r\nbc";
    QTest::newRow("CR CR") << "a\r\rb" << QStringList{"a", "", "b"} << "a@@b@"
                           << "a\r\n\r\nb";
    QTest::newRow("CR at the end") << "a\r" << QStringList{"a", ""} << "a@@"
                                   << "a\r\n";
    QTest::newRow("lone LF") << "a\nb" << QStringList{"a", "b"} << "a@b@"
                             << "a\r\nb";
    QTest::newRow("LF CR is two breaks") << "a\n\rb" << QStringList{"a", "", "b"} << "a@@b@"
                                         << "a\r\n\r\nb";
}

void TestMotdCodec::roundTrip()
{
    QFETCH(QString, message);
    QFETCH(QStringList, lines);
    QFETCH(QString, atForm);
    QFETCH(QString, decoded);

    const QStringList split = SplitMotdLines(message);
    QCOMPARE(split, lines);
    for (const QString &line : split) {
        QVERIFY(!line.contains(u'\r'));
        QVERIFY(!line.contains(u'\n'));
    }
    QCOMPARE(JoinMotdLines(split), atForm);
    QCOMPARE(DecodeMotd(atForm), decoded);
}

void TestMotdCodec::decodeForeignValues_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("decoded");

    QTest::newRow("no closing @ keeps every character") << "abc"
                                                        << "abc";
    QTest::newRow("@ inside, none closing") << "a@b"
                                            << "a\r\nb";
    QTest::newRow("just @") << "@"
                            << "";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("two closing @") << "x@@"
                                   << "x\r\n";
}

void TestMotdCodec::decodeForeignValues()
{
    QFETCH(QString, value);
    QFETCH(QString, decoded);
    QCOMPARE(DecodeMotd(value), decoded);
}

void TestMotdCodec::splitsLongMessages()
{
    for (const int length : {32767, 32768, 100000}) {
        const QString line(length, u'x');
        QCOMPARE(SplitMotdLines(line), QStringList{line});
        const QString twoLines = line + QStringLiteral("\r\n") + line;
        QCOMPARE(SplitMotdLines(twoLines), (QStringList{line, line}));
        QCOMPARE(DecodeMotd(JoinMotdLines(SplitMotdLines(twoLines))), twoLines);
    }
}

void TestMotdCodec::editorText_data()
{
    QTest::addColumn<QString>("editor");
    QTest::addColumn<QString>("motd");
    QTest::addColumn<QString>("backInEditor");

    QTest::newRow("typed breaks") << "a\nb\n"
                                  << "a\r\nb\r\n"
                                  << "a\nb\n";
    QTest::newRow("pasted CR LF") << "a\r\nb"
                                  << "a\r\nb"
                                  << "a\nb";
    QTest::newRow("pasted lone CR") << "a\rb"
                                    << "a\r\nb"
                                    << "a\nb";
    QTest::newRow("no breaks") << "abc"
                               << "abc"
                               << "abc";
}

void TestMotdCodec::editorText()
{
    QFETCH(QString, editor);
    QFETCH(QString, motd);
    QFETCH(QString, backInEditor);
    QCOMPARE(motdFromEditorText(editor), motd);
    QCOMPARE(motdToEditorText(motd), backInEditor);
}

QTEST_GUILESS_MAIN(TestMotdCodec)
#include "tst_motdcodec.moc"
