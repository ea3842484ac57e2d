#include "mainwindow.h"
#include "packframer.h"
#include "sensorprotocol.h"

#include <QtTest>

using SensorProtocol::byteSum;

Q_DECLARE_METATYPE(QList<QByteArray>)

// Bytes as hex digits, the way the protocol's tables write them.
static QByteArray hex(const char *digits)
{
    return QByteArray::fromHex(digits);
}

class TestPack : public QObject
{
    Q_OBJECT

private slots:
    void buildPack_data();
    void buildPack();
    void checksum_data();
    void checksum();
    void negativeFromHex_data();
    void negativeFromHex();
    void fieldTenths_data();
    void fieldTenths();
    void measurement_data();
    void measurement();
    void calibrationStatus_data();
    void calibrationStatus();
    void calibrationValue_data();
    void calibrationValue();
    void framing_data();
    void framing();
};

void TestPack::buildPack_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<int>("value");
    QTest::addColumn<QByteArray>("pack");

    QTest::newRow("temperature 23.5") << QByteArray("51") << 235 << hex("21510500EB9E");
    QTest::newRow("temperature -1.5") << QByteArray("51") << -15 << hex("215105FFF199");
    QTest::newRow("humidity 50.0") << QByteArray("52") << 500 << hex("21520501F493");
    QTest::newRow("pressure 101.3") << QByteArray("53") << 1013 << hex("21530503F58F");
    QTest::newRow("oil 0") << QByteArray("61") << 0 << hex("216105000079");
    QTest::newRow("255") << QByteArray("51") << 255 << hex("21510500FF8A");
    QTest::newRow("-1") << QByteArray("51") << -1 << hex("215105FFFF8B");
    QTest::newRow("65536 keeps 16 bits") << QByteArray("51") << 65536 << hex("215105000089");
    QTest::newRow("70000 keeps 16 bits") << QByteArray("51") << 70000 << hex("215105117008");
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
    QTest::newRow("poll 0x50") << hex("215003") << 0x8C;
    QTest::newRow("poll 0x60") << hex("216003") << 0x7C;
    QTest::newRow("factory reset") << hex("215603") << 0x86;
    QTest::newRow("connection check") << hex("216303") << 0x79;
    QTest::newRow("sum already 0") << hex("807F01") << 0x00;
    QTest::newRow("wraps past 255") << hex("FFFFFF") << 0x03;
}

void TestPack::checksum()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, checksum);

    const char sum = MainWindow::packChecksum(bytes);
    QCOMPARE(quint8(sum), quint8(checksum));
    QCOMPARE(byteSum(bytes + sum), 0);
}

void TestPack::negativeFromHex_data()
{
    QTest::addColumn<QByteArray>("hex");
    QTest::addColumn<int>("value");
    QTest::newRow("FFFF") << QByteArray("FFFF") << -1;
    QTest::newRow("FF9C") << QByteArray("FF9C") << -100;
    QTest::newRow("FF00") << QByteArray("FF00") << -256;
    QTest::newRow("FE0C") << QByteArray("FE0C") << -500;
    QTest::newRow("F000") << QByteArray("F000") << -4096;
    QTest::newRow("one byte F5") << QByteArray("F5") << -11;
    QTest::newRow("one byte F0") << QByteArray("F0") << -16;
}

void TestPack::negativeFromHex()
{
    QFETCH(QByteArray, hex);
    QFETCH(int, value);
    QCOMPARE(MainWindow::negativeFromHex(hex), value);
}

void TestPack::fieldTenths_data()
{
    QTest::addColumn<QByteArray>("field");
    QTest::addColumn<bool>("signedField");
    QTest::addColumn<int>("tenths");

    // Temperatures: only a hex text beginning with F is negative.
    QTest::newRow("7FFF is positive") << hex("7FFF") << true << 32767;
    QTest::newRow("8000 is positive") << hex("8000") << true << 32768;
    QTest::newRow("EFFF is positive") << hex("EFFF") << true << 61439;
    QTest::newRow("FFFF") << hex("FFFF") << true << -1;
    QTest::newRow("FF9C") << hex("FF9C") << true << -100;
    QTest::newRow("FF00") << hex("FF00") << true << -256;
    QTest::newRow("FED4 below -25.6") << hex("FED4") << true << -300;
    QTest::newRow("FE0C below -25.6") << hex("FE0C") << true << -500;
    QTest::newRow("F000 lowest negative") << hex("F000") << true << -4096;
    QTest::newRow("one byte F5 is negative") << hex("F5") << true << -11;
    QTest::newRow("missing field") << QByteArray() << true << 0;
    QTest::newRow("humidity FFFF unsigned") << hex("FFFF") << false << 65535;
}

void TestPack::fieldTenths()
{
    QFETCH(QByteArray, field);
    QFETCH(bool, signedField);
    QFETCH(int, tenths);
    QCOMPARE(SensorProtocol::fieldTenths(field, signedField), tenths);
}

void TestPack::measurement_data()
{
    QTest::addColumn<QByteArray>("pack");
    QTest::addColumn<QList<int>>("tenths");
    QTest::addColumn<int>("wholeFields");
    // A reading for the command-line programs: an exact 0x60 answer and nothing else.
    QTest::addColumn<bool>("reading");

    using SensorProtocol::pack;
    QTest::newRow("humidity and pressure unsigned")
        << pack(0x50, hex("0000FFFFFFFF")) << QList<int>{0, 65535, 65535} << 3 << false;
    QTest::newRow("air temperature follows the sign rule")
        << pack(0x50, hex("FE0C00000000")) << QList<int>{-500, 0, 0} << 3 << false;
    QTest::newRow("oil follows the sign rule")
        << pack(0x60, hex("00000000000FFE0C")) << QList<int>{0, 0, 15, -500} << 4 << true;
    QTest::newRow("one byte of humidity")
        << pack(0x50, hex("00FD05")) << QList<int>{253, 5, 0} << 1 << false;
    QTest::newRow("short 0x60 lacks oil")
        << pack(0x60, hex("00FD01C803F5")) << QList<int>{253, 456, 1013, 0} << 3 << false;
    QTest::newRow("extra bytes: the window ignores them, no reading")
        << pack(0x60, hex("00FD01C803F5FF9C1234")) << QList<int>{253, 456, 1013, -100} << 4
        << false;
    QTest::newRow("checksum not examined")
        << hex("21500900FD01C803F500") << QList<int>{253, 456, 1013} << 3 << false;
}

void TestPack::measurement()
{
    QFETCH(QByteArray, pack);
    QFETCH(QList<int>, tenths);
    QFETCH(int, wholeFields);
    QFETCH(bool, reading);

    const QByteArray payload = SensorProtocol::payload(pack);
    QList<int> read;
    int whole = 0;
    for (int field = 0; field < tenths.size(); ++field) {
        read << SensorProtocol::measuredTenths(payload, SensorProtocol::Field(field));
        whole += SensorProtocol::hasField(payload, SensorProtocol::Field(field));
    }
    QCOMPARE(read, tenths);
    QCOMPARE(whole, wholeFields);
    SensorProtocol::Reading decoded;
    QCOMPARE(SensorProtocol::readingOf(pack, QDateTime(), &decoded), reading);
    if (reading)
        QCOMPARE(QList<int>(std::begin(decoded.tenths), std::end(decoded.tenths)), tenths);
}

void TestPack::calibrationStatus_data()
{
    QTest::addColumn<QByteArray>("pack");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("succeeded");

    QTest::newRow("00 failed") << hex("215104008A") << 0x00 << false;
    QTest::newRow("FF succeeded") << hex("215104FF8B") << 0xFF << true;
    QTest::newRow("no status byte") << hex("2151038B") << -1 << false;
    QTest::newRow("extra bytes: the window ignores them, no reading")
        << SensorProtocol::pack(0x51, hex("0001")) << 0x00 << false;
}

void TestPack::calibrationStatus()
{
    QFETCH(QByteArray, pack);
    QFETCH(int, status);
    QFETCH(bool, succeeded);
    QCOMPARE(SensorProtocol::calibrationStatus(pack), status);
    QCOMPARE(SensorProtocol::calibrationSucceeded(pack), succeeded);
}

void TestPack::calibrationValue_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("command");
    QTest::addColumn<int>("verdict");
    // The calibration pack of a valid value.
    QTest::addColumn<QByteArray>("pack");

    using Value = SensorProtocol::CalibrationValue;
    const auto rejected = [](const char *name, const char *typed, Value::Verdict verdict) {
        QTest::newRow(name) << QString::fromLatin1(typed) << 0x61 << int(verdict) << QByteArray();
    };
    QTest::newRow("-0.05 truncates to 0")
        << " -0.05 " << 0x61 << int(Value::Valid) << hex("216105000079");
    QTest::newRow("exponent") << "1e2" << 0x53 << int(Value::Valid) << hex("21530503E89C");
    QTest::newRow("lowest") << "-3276.8" << 0x51 << int(Value::Valid) << hex("215105800009");
    QTest::newRow("highest temperature")
        << "3276.7" << 0x51 << int(Value::Valid) << hex("2151057FFF0B");
    QTest::newRow("highest") << "6553.5" << 0x52 << int(Value::Valid) << hex("215205FFFF8A");
    rejected("blank", "   ", Value::NotANumber);
    rejected("letters", "abc", Value::NotANumber);
    rejected("decimal comma", "1,5", Value::NotANumber);
    rejected("trailing unit", "23.5C", Value::NotANumber);
    rejected("nan", "nan", Value::NotANumber);
    rejected("-3276.9", "-3276.9", Value::OutOfRange);
    rejected("huge", "1e12", Value::OutOfRange);
    rejected("infinite", "inf", Value::OutOfRange);
}

void TestPack::calibrationValue()
{
    QFETCH(QString, typed);
    QFETCH(int, command);
    QFETCH(int, verdict);
    QFETCH(QByteArray, pack);

    const SensorProtocol::CalibrationValue value =
        SensorProtocol::calibrationValue(typed, quint8(command));
    QCOMPARE(int(value.verdict), verdict);
    if (value.verdict == SensorProtocol::CalibrationValue::Valid)
        QCOMPARE(SensorProtocol::pack(quint8(command), SensorProtocol::valuePayload(value.tenths)),
                 pack);
}

void TestPack::framing_data()
{
    QTest::addColumn<QList<QByteArray>>("arrivals");
    QTest::addColumn<bool>("lineGoesIdle");
    QTest::addColumn<QList<QByteArray>>("packs");
    QTest::addColumn<QList<QByteArray>>("dropped");

    using SensorProtocol::pack;
    using Packs = QList<QByteArray>;
    const QByteArray poll = hex("2150038C");
    const QByteArray answer50 = pack(0x50, hex("00FD01C803F5"));
    const QByteArray answer60 = pack(0x60, hex("00FD01C803F5FF9C"));
    // 0x06 inside the payload, at pack position 4.
    const QByteArray answerWith06 = pack(0x50, hex("0006012C03F5"));
    const QByteArray longPack = pack(0x70, QByteArray(197, '\x11'));
    const Packs none;

    QTest::newRow("two packs in one arrival")
        << Packs{answer50 + answer60} << false << Packs{answer50, answer60} << none;
    QTest::newRow("10 bytes then 5 of 12") << Packs{answer50 + answer60.left(5), answer60.mid(5)}
                                           << false << Packs{answer50, answer60} << none;
    QTest::newRow("three bytes wait") << Packs{poll.left(3)} << false << none << none;
    QTest::newRow("length 0x01") << Packs{hex("21DF0100")} << false << Packs{hex("21DF")}
                                 << Packs{hex("0100")};
    QTest::newRow("length 0x02") << Packs{hex("21DD0200")} << false << Packs{hex("21DD02")}
                                 << Packs{hex("00")};
    QTest::newRow("length 0x00 never sums to 0")
        << Packs{hex("2160006F")} << false << none << Packs{hex("2160006F")};
    QTest::newRow("length 0xC8 waits for 201 bytes")
        << Packs{longPack.left(200), longPack.mid(200)} << false << Packs{longPack} << none;
    QTest::newRow("0x06 pack then another answer")
        << Packs{answerWith06 + answer60} << false << Packs{answerWith06, answer60} << none;
    QTest::newRow("wrong checksum dropped")
        << Packs{hex("2150038D") + poll} << false << Packs{poll} << Packs{hex("2150038D")};
    QTest::newRow("stray bytes around an answer") << Packs{hex("00FF") + poll + hex("7F")} << false
                                                  << Packs{poll} << Packs{hex("00FF"), hex("7F")};
    QTest::newRow("answer hidden behind a bad start")
        << Packs{hex("215003") + answer60} << false << Packs{answer60} << Packs{hex("215003")};
    QTest::newRow("a bad length holds answers until the line goes idle")
        << Packs{hex("2150FF") + answer60 + answer50} << true << Packs{answer60, answer50}
        << Packs{hex("2150FF")};
    QTest::newRow("idle drops every incomplete pack")
        << Packs{hex("21500921600B")} << true << none << Packs{hex("21500921600B")};
    QTest::newRow("1 MiB of zeros is one run")
        << Packs{QByteArray(1 << 20, '\0')} << false << none << Packs{QByteArray(1 << 20, '\0')};
}

void TestPack::framing()
{
    QFETCH(QList<QByteArray>, arrivals);
    QFETCH(bool, lineGoesIdle);
    QFETCH(QList<QByteArray>, packs);
    QFETCH(QList<QByteArray>, dropped);

    PackFramer framer;
    QList<QByteArray> cutPacks;
    QList<QByteArray> droppedRuns;
    const auto cutAll = [&] {
        for (PackFramer::Cut cut = framer.next(); cut.kind != PackFramer::Cut::Waiting;
             cut = framer.next())
            (cut.kind == PackFramer::Cut::Pack ? cutPacks : droppedRuns) << cut.bytes;
    };
    for (const QByteArray &arrival : arrivals) {
        framer.append(arrival);
        cutAll();
    }
    if (lineGoesIdle) {
        QCOMPARE(cutPacks, QList<QByteArray>());
        framer.lineIdle();
        cutAll();
        QVERIFY(!framer.isWaiting());
    }
    QCOMPARE(cutPacks, packs);
    QCOMPARE(droppedRuns, dropped);
}

QTEST_GUILESS_MAIN(TestPack)
#include "tst_pack.moc"
