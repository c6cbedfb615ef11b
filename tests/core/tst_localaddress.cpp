// The choice over described interfaces, and the machine's own: in a network
// namespace of its own, where it may add interfaces that exist nowhere else.
// IPv6 is switched off there first, so that the interfaces send nothing of
// their own accord; the IPv6-only cases are therefore described ones.
#include "localaddress.h"

#include <QFile>
#include <QNetworkInterface>
#include <QProcess>
#include <QTest>

Q_DECLARE_METATYPE(InterfaceAddresses)

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
    void described_data();
    void described();
    void choice_data();
    void choice();

private:
    bool m_canAddInterfaces = false;
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
        return;
    m_canAddInterfaces = true;
    QVERIFY(ipCommand(QStringLiteral("link set a0 addrgenmode none")));
    QVERIFY(ipCommand(QStringLiteral("link set a1 addrgenmode none")));
    const bool a0First = QNetworkInterface::interfaceIndexFromName(QStringLiteral("a0")) <
                         QNetworkInterface::interfaceIndexFromName(QStringLiteral("a1"));
    m_first = QString::fromLatin1(a0First ? "a0" : "a1");
    m_second = QString::fromLatin1(a0First ? "a1" : "a0");
}

void TestLocalAddress::described_data()
{
    QTest::addColumn<QList<InterfaceAddresses>>("interfaces");
    QTest::addColumn<QString>("expected");

    const auto up = [](int index, const QStringList &addresses) {
        return InterfaceAddresses{index, true, false, addresses};
    };
    InterfaceAddresses loopback = up(1, {"127.0.0.1", "::1"});
    loopback.loopback = true;
    InterfaceAddresses down = up(2, {"198.51.100.7"});
    down.up = false;

    QTest::newRow("IPv6 only") << QList{loopback, up(2, {"2001:db8::5", "fe80::1"})} << "127.0.0.1";
    QTest::newRow("IPv6 only, then IPv4 on the next")
        << QList{up(3, {"192.0.2.10"}), up(2, {"2001:db8::5"}), loopback} << "192.0.2.10";
    QTest::newRow("IPv6 first on the interface") << QList{up(2, {"fe80::1", "192.0.2.10"})} << "192.0.2.10";
    QTest::newRow("loopback address on a common interface")
        << QList{up(2, {"127.0.0.2"}), up(3, {"192.0.2.10"})} << "192.0.2.10";
    QTest::newRow("down, then up") << QList{up(3, {"192.0.2.10"}), down} << "192.0.2.10";
}

void TestLocalAddress::described()
{
    QFETCH(QList<InterfaceAddresses>, interfaces);
    QFETCH(QString, expected);
    QCOMPARE(chooseLocalIpAddress(interfaces), expected);
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
    if (!m_canAddInterfaces)
        QSKIP("cannot add interfaces here (veth)");
    for (QString command : commands) {
        command.replace(QStringLiteral("FIRST"), m_first).replace(QStringLiteral("SECOND"), m_second);
        QVERIFY2(ipCommand(command), qPrintable(command));
    }
    QCOMPARE(localIpAddress(), expected);
}

QTEST_GUILESS_MAIN(TestLocalAddress)
#include "tst_localaddress.moc"
