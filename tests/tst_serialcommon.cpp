#include "cputime.h"
#include "sensorprotocol.h"
#include "serialcommon.h"
#include "simulatedunit.h"

#include <QtTest>

Q_DECLARE_METATYPE(QList<QByteArray>)

static QList<QByteArray> packsOf(const QSignalSpy &spy)
{
    QList<QByteArray> packs;
    for (const QList<QVariant> &args : spy)
        packs << args.at(0).toByteArray();
    return packs;
}

class TestSerialCommon : public QObject
{
    Q_OBJECT

private slots:
    void openGreetsTheUnitAndEmitsNothing();
    void failedOpen_data();
    void failedOpen();
    void openWhileOpenKeepsThePort();
    void closedPortDropsPacksAndCloseIsHarmless();
    void cutting_data();
    void cutting();
    void traceLines_data();
    void traceLines();
    void reopenDiscardsLeftoverBytes_data();
    void reopenDiscardsLeftoverBytes();
    void nestedLoopInReceiverGoesOnReceiving();
    void probeSkipsBusyPortsAndKeepsOrder();
    void probeLeavesTheLinksPortOpenAndWorking();
    void hangUpClosesPortOnce();
};

void TestSerialCommon::openGreetsTheUnitAndEmitsNothing()
{
    SimulatedUnit unit;
    QVERIFY(unit.openPty());
    unit.setSilent(true);
    SerialCommon link;
    QSignalSpy openSpy(&link, &SerialCommon::openSerialPort);
    QSignalSpy packSpy(&link, &SerialCommon::sendParsePack);

    QTest::ignoreMessage(QtDebugMsg, "open: true");
    link.openPort(unit.portName());
    QVERIFY(link.isPortOpen());
    QTRY_COMPARE(unit.receivedBytes(), QByteArray::fromHex("21630379"));
    QTest::qWait(100);
    QCOMPARE(unit.receivedBytes(), QByteArray::fromHex("21630379"));
    QCOMPARE(openSpy.count(), 0);
    QCOMPARE(packSpy.count(), 0);
}

void TestSerialCommon::failedOpen_data()
{
    QTest::addColumn<int>("kind");
    QTest::newRow("empty name") << 0;
    QTest::newRow("missing device") << 1;
    QTest::newRow("held by another open") << 2;
}

void TestSerialCommon::failedOpen()
{
    QFETCH(int, kind);
    SimulatedUnit unit;
    QVERIFY(unit.openPty());
    QSerialPort holder(unit.portName());
    QString name;
    if (kind == 1)
        name = QStringLiteral("/dev/corvane-no-such-port");
    if (kind == 2) {
        QVERIFY(holder.open(QIODevice::ReadWrite));
        name = unit.portName();
    }

    SerialCommon link;
    QSignalSpy openSpy(&link, &SerialCommon::openSerialPort);
    QTest::ignoreMessage(QtDebugMsg, "open: false");
    link.openPort(name);
    QCOMPARE(openSpy.count(), 1);
    QCOMPARE(openSpy.at(0).at(0).toBool(), false);
    QVERIFY(!link.isPortOpen());
    link.onSendToSerialPort(QByteArray::fromHex("2150038C"));
    QTest::qWait(100);
    QCOMPARE(unit.receivedBytes(), QByteArray());
}

void TestSerialCommon::openWhileOpenKeepsThePort()
{
    SimulatedUnit unit;
    QVERIFY(unit.openPty());
    unit.setSilent(true);
    SerialCommon link;
    QSignalSpy openSpy(&link, &SerialCommon::openSerialPort);
    link.openPort(unit.portName());
    QTest::ignoreMessage(QtDebugMsg, "open: false");
    link.openPort(unit.portName());
    QCOMPARE(openSpy.count(), 1);
    QVERIFY(link.isPortOpen());
    link.onSendToSerialPort(QByteArray::fromHex("2150038C"));
    QTRY_COMPARE(unit.receivedBytes(),
                 QByteArray::fromHex("21630379"
                                     "2150038C"));
}

void TestSerialCommon::closedPortDropsPacksAndCloseIsHarmless()
{
    SimulatedUnit unit;
    QVERIFY(unit.openPty());
    unit.setSilent(true);
    SerialCommon link;
    QSignalSpy openSpy(&link, &SerialCommon::openSerialPort);
    link.closePort();
    link.onSendToSerialPort(QByteArray::fromHex("2150038C"));
    link.openPort(unit.portName());
    link.closePort();
    link.closePort();
    link.onSendToSerialPort(QByteArray::fromHex("2160037C"));
    QVERIFY(!link.isPortOpen());
    QTest::qWait(100);
    QCOMPARE(unit.receivedBytes(), QByteArray::fromHex("21630379"));
    QCOMPARE(openSpy.count(), 0);
}

void TestSerialCommon::cutting_data()
{
    QTest::addColumn<QList<QByteArray>>("arrivals");
    QTest::addColumn<int>("packsAfterFirstArrival");
    QTest::addColumn<QList<QByteArray>>("packs");

    // What the framing does with the bytes is tested on bytes; here, what the port and the line's
    // idle time add to it.
    const QByteArray poll = QByteArray::fromHex("2150038C");
    const QByteArray answer60 = SensorProtocol::pack(0x60, QByteArray::fromHex("00FD01C803F5FF9C"));
    QTest::newRow("one piece") << QList<QByteArray>{poll} << 1 << QList<QByteArray>{poll};
    QTest::newRow("split arrival")
        << QList<QByteArray>{poll.left(2), poll.mid(2)} << 0 << QList<QByteArray>{poll};
    QTest::newRow("bad length given up when the line goes idle")
        << QList<QByteArray>{QByteArray::fromHex("2150FF") + answer60} << 0
        << QList<QByteArray>{answer60};
}

void TestSerialCommon::cutting()
{
    QFETCH(QList<QByteArray>, arrivals);
    QFETCH(int, packsAfterFirstArrival);
    QFETCH(QList<QByteArray>, packs);

    SimulatedUnit unit;
    QVERIFY(unit.openPty());
    unit.setSilent(true);
    SerialCommon link;
    QSignalSpy packSpy(&link, &SerialCommon::sendParsePack);
    link.openPort(unit.portName());
    QTRY_COMPARE(unit.receivedBytes().size(), 4);

    for (int i = 0; i < arrivals.size(); ++i) {
        unit.sendRaw(arrivals.at(i));
        if (i == 0) {
            if (packsAfterFirstArrival > 0)
                QTRY_COMPARE(packSpy.count(), packsAfterFirstArrival);
            // Give a wrongly eager cutter time to show itself, well within the line's idle time.
            QTest::qWait(20);
            QCOMPARE(packSpy.count(), packsAfterFirstArrival);
        }
    }
    QTRY_COMPARE(packSpy.count(), packs.size());
    QTest::qWait(100);
    QCOMPARE(packsOf(packSpy), packs);
}

// The trace as the debug log prints it, message pattern applied.
static QStringList traced;
static void recordTrace(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    traced << qFormatLogMessage(type, context, message);
}

void TestSerialCommon::traceLines_data()
{
    QTest::addColumn<QByteArray>("received");
    QTest::addColumn<QString>("lastLine");
    QTest::addColumn<int>("maxLines");

    QTest::newRow("pack")
        << QByteArray::fromHex("21500989abcdef010293")
        << QStringLiteral("^----- \"21500989ABCDEF010293\" \"\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\"$")
        << 2;
    QTest::newRow("dropped run") << QByteArray::fromHex("00ff7f")
                                 << QStringLiteral("^dropped: \"00FF7F\" 3$") << 2;
    // Runs are traced one line each, at most 32 bytes shown: a flood of noise stays small.
    QTest::newRow("1 MiB of zeros")
        << QByteArray(1 << 20, '\0') << QStringLiteral("^dropped: \"(00){32}\" \\d+$") << 1000;
}

void TestSerialCommon::traceLines()
{
    QFETCH(QByteArray, received);
    QFETCH(QString, lastLine);
    QFETCH(int, maxLines);

    SimulatedUnit unit;
    QVERIFY(unit.openPty());
    unit.setSilent(true);
    SerialCommon link;
    traced.clear();
    const QtMessageHandler previous = qInstallMessageHandler(recordTrace);
    link.openPort(unit.portName());
    unit.sendRaw(received);
    const auto droppedBytes = [] {
        qint64 count = 0;
        for (const QString &line : qAsConst(traced))
            if (line.startsWith(QLatin1String("dropped:")))
                count += line.section(' ', -1).toLongLong();
        return count;
    };
    const qint64 expectedDropped = received.startsWith('\x21') ? 0 : received.size();
    QTRY_VERIFY_WITH_TIMEOUT(QRegularExpression(lastLine).match(traced.last()).hasMatch()
                                 && droppedBytes() == expectedDropped,
                             10000);
    qInstallMessageHandler(previous);
    QCOMPARE(traced.first(), QStringLiteral("open: true"));
    QVERIFY2(traced.size() <= maxLines, qPrintable(QString::number(traced.size())));
}

void TestSerialCommon::reopenDiscardsLeftoverBytes_data()
{
    QTest::addColumn<bool>("readBeforeClose");
    QTest::newRow("taken in before the close") << true;
    QTest::newRow("still waiting in the driver") << false;
}

void TestSerialCommon::reopenDiscardsLeftoverBytes()
{
    QFETCH(bool, readBeforeClose);
    SimulatedUnit unit;
    QVERIFY(unit.openPty());
    unit.setSilent(true);
    SerialCommon link;
    QSignalSpy packSpy(&link, &SerialCommon::sendParsePack);
    link.openPort(unit.portName());
    unit.sendRaw(QByteArray::fromHex("215003"));
    if (readBeforeClose)
        QTest::qWait(150);
    link.closePort();
    link.openPort(unit.portName());
    QVERIFY(link.isPortOpen());
    const QByteArray answer = SensorProtocol::pack(0x63);
    unit.sendRaw(answer);
    QTRY_COMPARE(packSpy.count(), 1);
    QTest::qWait(100);
    QCOMPARE(packsOf(packSpy), QList<QByteArray>{answer});
}

void TestSerialCommon::nestedLoopInReceiverGoesOnReceiving()
{
    // A receiver that waits in a nested event loop (as a modal box does) must still see the
    // packs that arrive meanwhile, each once and whole.
    SimulatedUnit unit;
    QVERIFY(unit.openPty());
    unit.setSilent(true);
    SerialCommon link;
    link.openPort(unit.portName());
    const QByteArray first = SensorProtocol::pack(0x56);
    const QByteArray second = SensorProtocol::pack(0x50, QByteArray::fromHex("00FD01C803F5"));
    const QByteArray third = SensorProtocol::pack(0x63);
    QList<QByteArray> seen;
    QList<QByteArray> seenInsideFirst;
    connect(&link, &SerialCommon::sendParsePack, this, [&](const QByteArray &pack) {
        seen << pack;
        if (pack != first)
            return;
        unit.sendRaw(second);
        QTimer::singleShot(50, &unit, [&] { unit.sendRaw(third); });
        QEventLoop loop;
        QTimer::singleShot(3000, &loop, &QEventLoop::quit);
        QTimer poll;
        connect(&poll, &QTimer::timeout, &loop, [&] {
            if (seen.size() >= 3)
                loop.quit();
        });
        poll.start(10);
        loop.exec();
        seenInsideFirst = seen;
    });
    unit.sendRaw(first);
    QTRY_COMPARE(seenInsideFirst.size(), 3);
    QCOMPARE(seenInsideFirst, (QList<QByteArray>{first, second, third}));
    QTest::qWait(100);
    QCOMPARE(seen.size(), 3);
}

void TestSerialCommon::probeSkipsBusyPortsAndKeepsOrder()
{
    SimulatedUnit units[3];
    QStringList locations;
    for (SimulatedUnit &unit : units) {
        QVERIFY(unit.openPty());
        locations << unit.portName();
    }
    QSerialPort other(units[1].portName());
    QVERIFY(other.open(QIODevice::ReadWrite));

    const QStringList names = SerialCommon::probePorts(locations);
    QCOMPARE(names.size(), 2);
    QCOMPARE(QStringLiteral("/dev/") + names.at(0), locations.at(0));
    QCOMPARE(QStringLiteral("/dev/") + names.at(1), locations.at(2));
    QCOMPARE(SerialCommon::probePorts(QStringList{locations.at(2), locations.at(0)}),
             (QStringList{names.at(1), names.at(0)}));

    // Every probed port was closed again: each can be opened, by the name the probe returned.
    for (const QString &name : names) {
        SerialCommon link;
        QSignalSpy openSpy(&link, &SerialCommon::openSerialPort);
        link.openPort(name);
        QVERIFY2(link.isPortOpen(), qPrintable(name));
        QCOMPARE(openSpy.count(), 0);
    }
    QVERIFY(SerialCommon::probePorts(QStringList()).isEmpty());
}

void TestSerialCommon::probeLeavesTheLinksPortOpenAndWorking()
{
    SimulatedUnit unit;
    QVERIFY(unit.openPty());
    SerialCommon link;
    QSignalSpy packSpy(&link, &SerialCommon::sendParsePack);
    link.openPort(unit.portName());
    QTRY_COMPARE(packSpy.count(), 1);

    QVERIFY(SerialCommon::probePorts(QStringList{unit.portName()}).isEmpty());
    QVERIFY(link.isPortOpen());
    link.onSendToSerialPort(QByteArray::fromHex("2150038C"));
    QTRY_COMPARE(packSpy.count(), 2);
    QCOMPARE(packSpy.at(1).at(0).toByteArray().left(2), QByteArray::fromHex("2150"));
    QCOMPARE(packSpy.at(1).at(0).toByteArray().size(), 10);
}

void TestSerialCommon::hangUpClosesPortOnce()
{
    SimulatedUnit unit;
    QVERIFY(unit.openPty());
    SerialCommon link;
    QSignalSpy lostSpy(&link, &SerialCommon::serialPortLost);
    QSignalSpy openSpy(&link, &SerialCommon::openSerialPort);
    link.openPort(unit.portName());
    QTRY_COMPARE(unit.receivedFrames().size(), 1);

    unit.hangUp();
    QTRY_COMPARE(lostSpy.count(), 1);
    QVERIFY(!link.isPortOpen());

    // No error storm: a second of idle time stays idle and reports nothing more.
    const double before = cpuSeconds();
    QTest::qWait(1000);
    QVERIFY2(cpuSeconds() - before < 0.3, "the event loop keeps spinning after the hang-up");
    QCOMPARE(lostSpy.count(), 1);
    QCOMPARE(openSpy.count(), 0);
    link.onSendToSerialPort(QByteArray::fromHex("2150038C"));
    link.closePort();
    QCOMPARE(lostSpy.count(), 1);
}

QTEST_GUILESS_MAIN(TestSerialCommon)
#include "tst_serialcommon.moc"
