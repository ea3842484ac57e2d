#include "cputime.h"
#include "sensorprotocol.h"
#include "simulatedunit.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// The host's side: a plain raw fd, so that these tests do not depend on the serial link code.
int openRawHost(const QByteArray &path)
{
    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios tio;
    if (fd >= 0 && ::tcgetattr(fd, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(fd, TCSANOW, &tio);
    }
    return fd;
}

bool writeAll(int fd, const QByteArray &bytes)
{
    return ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
}

QByteArray readAvailable(int fd)
{
    QByteArray all;
    char buffer[256];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
        all.append(buffer, int(n));
    return all;
}

int pendingBytes(int fd)
{
    int count = 0;
    return ::ioctl(fd, FIONREAD, &count) == 0 ? count : -1;
}

const QByteArray connectionCheck = QByteArray::fromHex("21630379");
const QByteArray readAirAnswer = QByteArray::fromHex("21500900d701c503f5f1");
const QByteArray readAllAnswer = QByteArray::fromHex("21600b00d701c503f501924c");

} // namespace

class TestSimulatedUnit : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        unit = new SimulatedUnit;
        QVERIFY(unit->openPty());
        QVERIFY(unit->isServing());
        QVERIFY(unit->portName().startsWith(QLatin1String("/dev/")));
        host = openRawHost(unit->portName().toLocal8Bit());
        QVERIFY(host >= 0);
    }

    void cleanup()
    {
        if (host >= 0)
            ::close(host);
        host = -1;
        delete unit;
        unit = nullptr;
    }

    void answers_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("connection check") << connectionCheck << connectionCheck;
        QTest::newRow("read air") << QByteArray::fromHex("2150038c") << readAirAnswer;
        QTest::newRow("read all") << QByteArray::fromHex("2160037c") << readAllAnswer;
        const QByteArray reset = QByteArray::fromHex("21560386");
        QTest::newRow("factory reset") << reset << reset;
    }

    void answers()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, expected);
        QSignalSpy received(unit, &SimulatedUnit::frameReceived);
        const qint64 before = SimulatedUnit::clockMsecs();
        const QByteArray got = exchange(request, expected.size());
        QCOMPARE(got.toHex(), expected.toHex());
        QCOMPARE(SensorProtocol::byteSum(got), 0);
        QCOMPARE(int(quint8(got.at(2))), got.size() - 1);

        QCOMPARE(received.count(), 1);
        QCOMPARE(received.first().first().toByteArray(), request);
        const QList<SimulatedUnit::Frame> frames = unit->receivedFrames();
        QCOMPARE(frames.size(), 1);
        QCOMPARE(frames.first().bytes, request);
        QVERIFY(frames.first().msecs >= before);
        QVERIFY(frames.first().msecs <= SimulatedUnit::clockMsecs());
    }

    void calibration_data()
    {
        QTest::addColumn<int>("command");
        QTest::addColumn<int>("channel");
        QTest::addColumn<int>("value");
        QTest::newRow("air") << 0x51 << int(SimulatedUnit::AirTemperature) << 250;
        QTest::newRow("air below zero") << 0x51 << int(SimulatedUnit::AirTemperature) << -100;
        QTest::newRow("humidity with CR byte") << 0x52 << int(SimulatedUnit::Humidity) << 0x010d;
        QTest::newRow("pressure with LF byte") << 0x53 << int(SimulatedUnit::Pressure) << 0x030a;
        QTest::newRow("pressure above 3276.7") << 0x53 << int(SimulatedUnit::Pressure) << 40000;
        QTest::newRow("oil below zero") << 0x61 << int(SimulatedUnit::OilTemperature) << -5;
    }

    void calibration()
    {
        QFETCH(int, command);
        QFETCH(int, channel);
        QFETCH(int, value);
        const auto ch = SimulatedUnit::Channel(channel);
        QByteArray word;
        word.append(char(quint16(value) >> 8)).append(char(quint16(value) & 0xff));

        const QByteArray got = exchange(SensorProtocol::pack(quint8(command), word), 5);
        QCOMPARE(got, SensorProtocol::pack(quint8(command), QByteArray(1, '\x01')));
        QCOMPARE(unit->reading(ch), value);

        const QByteArray all = exchange(QByteArray::fromHex("2160037c"), 12);
        QCOMPARE(all.mid(3 + 2 * channel, 2).toHex(), word.toHex());

        QCOMPARE(exchange(QByteArray::fromHex("21560386"), 4).toHex(), QByteArray("21560386"));
        QCOMPARE(unit->reading(ch), SimulatedUnit::factoryReading(ch));
        QCOMPARE(exchange(QByteArray::fromHex("2160037c"), 12).toHex(), readAllAnswer.toHex());
    }

    void calibrationFailure()
    {
        unit->setCalibrationStatus(0x00);
        const QByteArray calibrateTo40 = QByteArray::fromHex("2151050190f8");
        QCOMPARE(exchange(calibrateTo40, 5).toHex(), QByteArray("215104008a"));
        QCOMPARE(unit->reading(SimulatedUnit::AirTemperature), 215);
    }

    void negativeTemperature()
    {
        unit->setReading(SimulatedUnit::AirTemperature, -100);
        unit->setReading(SimulatedUnit::OilTemperature, -1);
        const QByteArray got = exchange(QByteArray::fromHex("2160037c"), 12);
        QCOMPARE(got.mid(3, 2).toHex(), QByteArray("ff9c"));
        QCOMPARE(got.mid(9, 2).toHex(), QByteArray("ffff"));
        QCOMPARE(SensorProtocol::byteSum(got), 0);
    }

    void ignoredFrames_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::newRow("unknown command") << QByteArray::fromHex("21990343");
        QTest::newRow("bad checksum") << QByteArray::fromHex("2163037a");
        QTest::newRow("payload on a check") << QByteArray::fromHex("2163040078");
        QTest::newRow("wrong start byte") << QByteArray::fromHex("22630378");
    }

    void ignoredFrames()
    {
        QFETCH(QByteArray, request);
        QVERIFY(writeAll(host, request));
        // Answers keep order: anything in front of the check's answer would be the bad frame's.
        const QByteArray got = exchange(connectionCheck, 4);
        QTest::qWait(50);
        QCOMPARE((got + readAvailable(host)).toHex(), connectionCheck.toHex());
        const QList<SimulatedUnit::Frame> frames = unit->receivedFrames();
        QCOMPARE(frames.size(), 2);
        QCOMPARE(frames.first().bytes, request);
        QCOMPARE(unit->receivedBytes(), request + connectionCheck);
    }

    void framing()
    {
        const QByteArray readAll = QByteArray::fromHex("2160037c");
        const QByteArray readAir = QByteArray::fromHex("2150038c");
        QVERIFY(writeAll(host, connectionCheck + readAir + readAll.left(2)));
        QTRY_COMPARE(unit->receivedFrames().size(), 2);
        QVERIFY(writeAll(host, readAll.mid(2)));
        QTRY_COMPARE(unit->receivedFrames().size(), 3);
        QCOMPARE(unit->receivedFrames().at(2).bytes, readAll);
        const QByteArray got = exchange(QByteArray(), 4 + 10 + 12);
        QCOMPARE(got.toHex(), (connectionCheck + readAirAnswer + readAllAnswer).toHex());

        unit->clearReceived();
        QVERIFY(unit->receivedFrames().isEmpty());
        QVERIFY(unit->receivedBytes().isEmpty());
    }

    void silent()
    {
        unit->setSilent(true);
        QVERIFY(writeAll(host, connectionCheck));
        QTRY_COMPARE(unit->receivedFrames().size(), 1);
        QTest::qWait(200);
        QCOMPARE(readAvailable(host), QByteArray());

        unit->setSilent(false);
        QCOMPARE(exchange(connectionCheck, 4), connectionCheck);
    }

    void corruptChecksum()
    {
        unit->setCorruptChecksum(true);
        const QByteArray got = exchange(QByteArray::fromHex("2150038c"), 10);
        QCOMPARE(got.left(9), readAirAnswer.left(9));
        QCOMPARE(SensorProtocol::byteSum(got), 1);
    }

    void answerDelay()
    {
        unit->setAnswerDelay(400);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(writeAll(host, connectionCheck));
        const QByteArray got = exchange(QByteArray::fromHex("2150038c"), 14);
        QVERIFY2(clock.elapsed() >= 399, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(got.toHex(), (connectionCheck + readAirAnswer).toHex());
    }

    void splitAnswers()
    {
        unit->setSplitAnswers(5, 250);
        QSignalSpy written(unit, &SimulatedUnit::answerWritten);
        QVERIFY(writeAll(host, QByteArray::fromHex("2160037c")));
        QList<QByteArray> arrivals;
        QByteArray got;
        QVERIFY(QTest::qWaitFor(
            [&] {
                const QByteArray chunk = readAvailable(host);
                if (!chunk.isEmpty())
                    arrivals.append(chunk);
                got += chunk;
                return got.size() >= 12;
            },
            5000));
        QCOMPARE(got.toHex(), readAllAnswer.toHex());
        QCOMPARE(written.count(), 3);
        QCOMPARE(written.at(2).first().toByteArray(), readAllAnswer.mid(10));
        QVERIFY2(arrivals.size() >= 2, "the pieces arrived together");
        QCOMPARE(arrivals.first(), readAllAnswer.left(5));
    }

    void coalesceAnswers()
    {
        unit->setCoalesceAnswers(true);
        QSignalSpy written(unit, &SimulatedUnit::answerWritten);
        QVERIFY(writeAll(host, connectionCheck));
        QTRY_COMPARE(unit->receivedFrames().size(), 1);
        QTest::qWait(100);
        QCOMPARE(pendingBytes(host), 0);

        QVERIFY(writeAll(host, QByteArray::fromHex("2150038c")));
        QTRY_VERIFY(pendingBytes(host) > 0);
        char buffer[64];
        const ssize_t n = ::read(host, buffer, sizeof buffer);
        const QByteArray oneRead(buffer, int(qMax<ssize_t>(n, 0)));
        QCOMPARE(oneRead.toHex(), (connectionCheck + readAirAnswer).toHex());
        QCOMPARE(written.count(), 1);
    }

    void sendRaw()
    {
        QSignalSpy written(unit, &SimulatedUnit::answerWritten);
        const QByteArray raw = QByteArray::fromHex("0021ff0d0a");
        unit->sendRaw(raw);
        QCOMPARE(written.count(), 1);
        QCOMPARE(written.first().first().toByteArray(), raw);
        QCOMPARE(exchange(QByteArray(), raw.size()), raw);
    }

    void backloggedWrite()
    {
        // Far more than a pseudo-terminal buffers, so the write must be finished in later turns.
        QSignalSpy written(unit, &SimulatedUnit::answerWritten);
        QByteArray raw(200000, '\0');
        for (int i = 0; i < raw.size(); ++i)
            raw[i] = char(i * 7);
        unit->sendRaw(raw);
        QCOMPARE(written.count(), 0);
        const QByteArray got = exchange(QByteArray(), raw.size());
        QCOMPARE(got.size(), raw.size());
        QVERIFY(got == raw);
        QTRY_COMPARE(written.count(), 1);
        QCOMPARE(exchange(connectionCheck, 4), connectionCheck);
    }

    void hostReopens()
    {
        ::close(host);
        host = -1;
        // With the host's side closed the unit must sit idle, not spin on a hung-up master.
        const double cpuBefore = cpuSeconds();
        QTest::qWait(500);
        QVERIFY2(cpuSeconds() - cpuBefore < 0.2, "the unit is busy while the host is away");
        QVERIFY(unit->isServing());

        host = openRawHost(unit->portName().toLocal8Bit());
        QVERIFY(host >= 0);
        QCOMPARE(exchange(connectionCheck, 4), connectionCheck);
    }

    void hangUp()
    {
        unit->hangUp();
        QVERIFY(!unit->isServing());
        char byte;
        ssize_t n = -1;
        QTRY_VERIFY((n = ::read(host, &byte, 1)) == 0 || (n < 0 && errno == EIO));
    }

    void openDevice()
    {
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("cannot open /nonexistent")));
        QVERIFY(!unit->openDevice(QStringLiteral("/nonexistent/ttyUSB9")));
        QVERIFY(!unit->isServing());

        // Our own pseudo-terminal pair stands in for a null-modem cable; its master is the host.
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
        QVERIFY(master >= 0);
        ::close(host);
        host = master;
        QVERIFY(::grantpt(master) == 0 && ::unlockpt(master) == 0);
        const QString device = QString::fromLocal8Bit(::ptsname(master));
        ::fcntl(master, F_SETFL, O_NONBLOCK);

        QVERIFY(unit->openDevice(device));
        QCOMPARE(unit->portName(), device);
        QVERIFY(unit->isServing());
        QCOMPARE(exchange(QByteArray::fromHex("2150038c"), 10).toHex(), readAirAnswer.toHex());
    }

    void drift()
    {
        unit->setDrift(true);
        const auto changed = [this] {
            for (const auto ch : {SimulatedUnit::AirTemperature, SimulatedUnit::Humidity,
                                  SimulatedUnit::Pressure, SimulatedUnit::OilTemperature}) {
                if (unit->reading(ch) != SimulatedUnit::factoryReading(ch))
                    return true;
            }
            return false;
        };
        QTRY_VERIFY_WITH_TIMEOUT(changed(), 10000);
        QVERIFY(qAbs(unit->reading(SimulatedUnit::Humidity) - 453) <= 40);
        unit->setDrift(false);
    }

private:
    QByteArray exchange(const QByteArray &request, int expectedSize)
    {
        QByteArray got;
        // A timeout needs no report of its own: the caller compares what did arrive.
        if (writeAll(host, request))
            static_cast<void>(QTest::qWaitFor(
                [&] {
                    got += readAvailable(host);
                    return got.size() >= expectedSize;
                },
                5000));
        return got;
    }

    SimulatedUnit *unit = nullptr;
    int host = -1;
};

QTEST_GUILESS_MAIN(TestSimulatedUnit)
#include "tst_simulatedunit.moc"
