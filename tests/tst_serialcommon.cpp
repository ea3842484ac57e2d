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

// A simulated unit on a pseudo-terminal and the link under test, its signals recorded.
struct UnitLink
{
    SimulatedUnit unit;
    SerialCommon link;
    QSignalSpy opens{&link, &SerialCommon::openSerialPort}; // a failed open says so
    QSignalSpy packs{&link, &SerialCommon::sendParsePack};
    QSignalSpy lost{&link, &SerialCommon::serialPortLost};

    // The unit on its terminal, answering or only listening, and the link opened to it.
    bool open(bool answering = false)
    {
        unit.setSilent(!answering);
        if (!unit.openPty())
            return false;
        link.openPort(unit.portName());
        return true;
    }
};

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
    UnitLink t;
    QTest::ignoreMessage(QtDebugMsg, "open: true");
    QVERIFY(t.open());
    QVERIFY(t.link.isPortOpen());
    QTRY_COMPARE(t.unit.receivedBytes(), QByteArray::fromHex("21630379"));
    QTest::qWait(100);
    QCOMPARE(t.unit.receivedBytes(), QByteArray::fromHex("21630379"));
    QCOMPARE(t.opens.count(), 0);
    QCOMPARE(t.packs.count(), 0);
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
    UnitLink t;
    QVERIFY(t.unit.openPty());
    QSerialPort holder(t.unit.portName());
    QString name;
    if (kind == 1)
        name = QStringLiteral("/dev/corvane-no-such-port");
    if (kind == 2) {
        QVERIFY(holder.open(QIODevice::ReadWrite));
        name = t.unit.portName();
    }

    QTest::ignoreMessage(QtDebugMsg, "open: false");
    t.link.openPort(name);
    QCOMPARE(t.opens.count(), 1);
    QCOMPARE(t.opens.at(0).at(0).toBool(), false);
    QVERIFY(!t.link.isPortOpen());
    t.link.onSendToSerialPort(QByteArray::fromHex("2150038C"));
    QTest::qWait(100);
    QCOMPARE(t.unit.receivedBytes(), QByteArray());
}

void TestSerialCommon::openWhileOpenKeepsThePort()
{
    UnitLink t;
    QVERIFY(t.open());
    QTest::ignoreMessage(QtDebugMsg, "open: false");
    t.link.openPort(t.unit.portName());
    QCOMPARE(t.opens.count(), 1);
    QVERIFY(t.link.isPortOpen());
    t.link.onSendToSerialPort(QByteArray::fromHex("2150038C"));
    QTRY_COMPARE(t.unit.receivedBytes(),
                 QByteArray::fromHex("21630379"
                                     "2150038C"));
}

void TestSerialCommon::closedPortDropsPacksAndCloseIsHarmless()
{
    UnitLink t;
    t.link.closePort();
    t.link.onSendToSerialPort(QByteArray::fromHex("2150038C"));
    QVERIFY(t.open());
    t.link.closePort();
    t.link.closePort();
    t.link.onSendToSerialPort(QByteArray::fromHex("2160037C"));
    QVERIFY(!t.link.isPortOpen());
    QTest::qWait(100);
    QCOMPARE(t.unit.receivedBytes(), QByteArray::fromHex("21630379"));
    QCOMPARE(t.opens.count(), 0);
}

void TestSerialCommon::cutting_data()
{
    QTest::addColumn<QList<QByteArray>>("arrivals");
    QTest::addColumn<int>("packsAfterFirstArrival");
    QTest::addColumn<QList<QByteArray>>("packs");

    // What the framing does with the bytes is tested on bytes; here, what the port and the line's
    // idle time add to it.
    using Packs = QList<QByteArray>;
    const QByteArray poll = QByteArray::fromHex("2150038C");
    const QByteArray answer60 = SensorProtocol::pack(0x60, QByteArray::fromHex("00FD01C803F5FF9C"));
    QTest::newRow("one piece") << Packs{poll} << 1 << Packs{poll};
    QTest::newRow("split arrival") << Packs{poll.left(2), poll.mid(2)} << 0 << Packs{poll};
    QTest::newRow("bad length given up when the line goes idle")
        << Packs{QByteArray::fromHex("2150FF") + answer60} << 0 << Packs{answer60};
}

void TestSerialCommon::cutting()
{
    QFETCH(QList<QByteArray>, arrivals);
    QFETCH(int, packsAfterFirstArrival);
    QFETCH(QList<QByteArray>, packs);

    UnitLink t;
    QVERIFY(t.open());
    QTRY_COMPARE(t.unit.receivedBytes().size(), 4);

    for (int i = 0; i < arrivals.size(); ++i) {
        t.unit.sendRaw(arrivals.at(i));
        if (i == 0) {
            if (packsAfterFirstArrival > 0)
                QTRY_COMPARE(t.packs.count(), packsAfterFirstArrival);
            // Give a wrongly eager cutter time to show itself, well within the line's idle time.
            QTest::qWait(20);
            QCOMPARE(t.packs.count(), packsAfterFirstArrival);
        }
    }
    QTRY_COMPARE(t.packs.count(), packs.size());
    QTest::qWait(100);
    QCOMPARE(packsOf(t.packs), packs);
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

    UnitLink t;
    traced.clear();
    const QtMessageHandler previous = qInstallMessageHandler(recordTrace);
    QVERIFY(t.open());
    t.unit.sendRaw(received);
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
    UnitLink t;
    QVERIFY(t.open());
    t.unit.sendRaw(QByteArray::fromHex("215003"));
    if (readBeforeClose)
        QTest::qWait(150);
    t.link.closePort();
    t.link.openPort(t.unit.portName());
    QVERIFY(t.link.isPortOpen());
    const QByteArray answer = SensorProtocol::pack(0x63);
    t.unit.sendRaw(answer);
    QTRY_COMPARE(t.packs.count(), 1);
    QTest::qWait(100);
    QCOMPARE(packsOf(t.packs), QList<QByteArray>{answer});
}

void TestSerialCommon::nestedLoopInReceiverGoesOnReceiving()
{
    // A receiver that waits in a nested event loop (as a modal box does) must still see the
    // packs that arrive meanwhile, each once and whole.
    UnitLink t;
    QVERIFY(t.open());
    SimulatedUnit &unit = t.unit;
    const QByteArray first = SensorProtocol::pack(0x56);
    const QByteArray second = SensorProtocol::pack(0x50, QByteArray::fromHex("00FD01C803F5"));
    const QByteArray third = SensorProtocol::pack(0x63);
    QList<QByteArray> seen;
    QList<QByteArray> seenInsideFirst;
    connect(&t.link, &SerialCommon::sendParsePack, this, [&](const QByteArray &pack) {
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
    UnitLink t;
    QVERIFY(t.open(true));
    QTRY_COMPARE(t.packs.count(), 1);

    QVERIFY(SerialCommon::probePorts(QStringList{t.unit.portName()}).isEmpty());
    QVERIFY(t.link.isPortOpen());
    t.link.onSendToSerialPort(QByteArray::fromHex("2150038C"));
    QTRY_COMPARE(t.packs.count(), 2);
    QCOMPARE(t.packs.at(1).at(0).toByteArray().left(2), QByteArray::fromHex("2150"));
    QCOMPARE(t.packs.at(1).at(0).toByteArray().size(), 10);
}

void TestSerialCommon::hangUpClosesPortOnce()
{
    UnitLink t;
    QVERIFY(t.open(true));
    QTRY_COMPARE(t.unit.receivedFrames().size(), 1);

    t.unit.hangUp();
    QTRY_COMPARE(t.lost.count(), 1);
    QVERIFY(!t.link.isPortOpen());

    // No error storm: a second of idle time stays idle and reports nothing more.
    const double before = cpuSeconds();
    QTest::qWait(1000);
    QVERIFY2(cpuSeconds() - before < 0.3, "the event loop keeps spinning after the hang-up");
    QCOMPARE(t.lost.count(), 1);
    QCOMPARE(t.opens.count(), 0);
    t.link.onSendToSerialPort(QByteArray::fromHex("2150038C"));
    t.link.closePort();
    QCOMPARE(t.lost.count(), 1);
}

QTEST_GUILESS_MAIN(TestSerialCommon)
#include "tst_serialcommon.moc"
