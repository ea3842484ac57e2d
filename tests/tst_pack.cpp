#include "mainwindow.h"

#include <QtTest>

static int byteSum(const QByteArray &bytes)
{
    int sum = 0;
    for (const char byte : bytes)
        sum += quint8(byte);
    return sum % 256;
}

class TestPack : public QObject
{
    Q_OBJECT

private slots:
    void buildPack_data();
    void buildPack();
    void checksum_data();
    void checksum();
};

void TestPack::buildPack_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<int>("value");
    QTest::addColumn<QByteArray>("pack");

    QTest::newRow("temperature 23.5")
        << QByteArray("51") << 235 << QByteArray::fromHex("21510500EB9E");
    QTest::newRow("temperature -1.5")
        << QByteArray("51") << -15 << QByteArray::fromHex("215105FFF199");
    QTest::newRow("humidity 50.0")
        << QByteArray("52") << 500 << QByteArray::fromHex("21520501F493");
    QTest::newRow("pressure 101.3")
        << QByteArray("53") << 1013 << QByteArray::fromHex("21530503F58F");
    QTest::newRow("oil 0") << QByteArray("61") << 0 << QByteArray::fromHex("216105000079");
    QTest::newRow("255") << QByteArray("51") << 255 << QByteArray::fromHex("21510500FF8A");
    QTest::newRow("-1") << QByteArray("51") << -1 << QByteArray::fromHex("215105FFFF8B");
    QTest::newRow("65536 keeps 16 bits")
        << QByteArray("51") << 65536 << QByteArray::fromHex("215105000089");
    QTest::newRow("70000 keeps 16 bits")
        << QByteArray("51") << 70000 << QByteArray::fromHex("215105117008");
}

void TestPack::buildPack()
{
    QFETCH(QByteArray, command);
    QFETCH(int, value);
    QFETCH(QByteArray, pack);

    // The payload goes to the debug log as four upper-case hex digits in quotes.
    const QByteArray payloadHex = pack.mid(3, 2).toHex().toUpper();
    QTest::ignoreMessage(QtDebugMsg, ("\"" + payloadHex + "\"").constData());
    const QByteArray built = MainWindow::buildPack(command, value);
    QCOMPARE(built, pack);
    QCOMPARE(byteSum(built), 0);
}

void TestPack::checksum_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("checksum");

    QTest::newRow("empty") << QByteArray() << 0x00;
    QTest::newRow("poll 0x50") << QByteArray::fromHex("215003") << 0x8C;
    QTest::newRow("poll 0x60") << QByteArray::fromHex("216003") << 0x7C;
    QTest::newRow("factory reset") << QByteArray::fromHex("215603") << 0x86;
    QTest::newRow("connection check") << QByteArray::fromHex("216303") << 0x79;
    QTest::newRow("sum already 0") << QByteArray::fromHex("807F01") << 0x00;
    QTest::newRow("wraps past 255") << QByteArray::fromHex("FFFFFF") << 0x03;
}

void TestPack::checksum()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, checksum);

    const char sum = MainWindow::packChecksum(bytes);
    QCOMPARE(quint8(sum), quint8(checksum));
    QCOMPARE(byteSum(bytes + sum), 0);
}

QTEST_GUILESS_MAIN(TestPack)
#include "tst_pack.moc"
