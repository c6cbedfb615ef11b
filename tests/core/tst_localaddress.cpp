// Runs in a network namespace of its own, where it may add interfaces that
// exist nowhere else. IPv6 is switched off first, so that the interfaces send
// nothing of their own accord.
#include "localaddress.h"

#include <QFile>
#include <QNetworkInterface>
#include <QProcess>
#include <QTest>

namespace {

bool ipCommand(const QString &line)
{
    QProcess process;
    process.start(QStringLiteral("ip"), line.split(u' '));
    return process.waitForFinished(5000) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}

} // namespace

class TestLocalAddress : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void choice_data();
    void choice();

private:
    // The two ends of the pair, in the order of their interface index.
    QString m_first;
    QString m_second;
};

void TestLocalAddress::initTestCase()
{
    QFile ipv6(QStringLiteral("/proc/sys/net/ipv6/conf/default/disable_ipv6"));
    if (ipv6.open(QIODevice::WriteOnly))
        ipv6.write("1");
    if (!ipCommand(QStringLiteral("link add a0 type veth peer name a1")))
        QSKIP("cannot add interfaces here (veth)");
    QVERIFY(ipCommand(QStringLiteral("link set a0 addrgenmode none")));
    QVERIFY(ipCommand(QStringLiteral("link set a1 addrgenmode none")));
    const bool a0First = QNetworkInterface::interfaceIndexFromName(QStringLiteral("a0")) <
                         QNetworkInterface::interfaceIndexFromName(QStringLiteral("a1"));
    m_first = QString::fromLatin1(a0First ? "a0" : "a1");
    m_second = QString::fromLatin1(a0First ? "a1" : "a0");
}

void TestLocalAddress::choice_data()
{
    QTest::addColumn<QStringList>("commands");
    QTest::addColumn<QString>("expected");

    // Each row builds on the state the rows before it left. FIRST is the
    // interface with the lower index, SECOND the other one.
    QTest::newRow("only loopback") << QStringList{} << "127.0.0.1";
    QTest::newRow("address on an interface that is down")
        << QStringList{"addr add 198.51.100.7/24 dev FIRST"} << "127.0.0.1";
    QTest::newRow("interface up without IPv4") << QStringList{"link set SECOND up"} << "127.0.0.1";
    QTest::newRow("the address of the interface that is up")
        << QStringList{"addr add 192.0.2.10/24 dev SECOND"} << "192.0.2.10";
    QTest::newRow("a second address comes after the first")
        << QStringList{"addr add 203.0.113.5/24 dev SECOND"} << "192.0.2.10";
    QTest::newRow("the interface with the lower index comes first")
        << QStringList{"link set FIRST up"} << "198.51.100.7";
    QTest::newRow("it going down hands over") << QStringList{"link set FIRST down"} << "192.0.2.10";
}

void TestLocalAddress::choice()
{
    QFETCH(QStringList, commands);
    QFETCH(QString, expected);
    for (QString command : commands) {
        command.replace(QStringLiteral("FIRST"), m_first).replace(QStringLiteral("SECOND"), m_second);
        QVERIFY2(ipCommand(command), qPrintable(command));
    }
    QCOMPARE(localIpAddress(), expected);
}

QTEST_GUILESS_MAIN(TestLocalAddress)
#include "tst_localaddress.moc"
