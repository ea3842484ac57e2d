#include "sensorprotocol.h"
#include "simulatedunit.h"

#include <QtTest>

// corvane-cli as a script runs it: the built program as a process, against a simulated unit on a
// pseudo-terminal served by this process, whose event loop runs while the program does.

enum Setup {
    Plain,
    NegativeAir,
    Silent,
    SilentAfterCheck,
    SilentAfterCalibration,
    FailedVerdict,
    CalibrationUnanswered,
    Unsettled,
    SpoiledSample,
    ShortAnswer,
    HangUp,
    HangUpReconnect,
    Terminated,
    HeaderPresent,
};
Q_DECLARE_METATYPE(Setup)

namespace {
const QString Time = QStringLiteral(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}\+00:00)");
const QString Header =
    QStringLiteral("time,air_temperature_c,humidity_rh,pressure_kpa,oil_temperature_c\n");
const QString CsvLine = Time + QStringLiteral(R"(,21\.5,45\.3,101\.3,40\.2\n)");
const QString Missing = QStringLiteral("/dev/corvane-no-such-port");

// The record of a calibration of the air temperature to 23.5 at the factory readings.
QString record(const QString &asLeft, const QString &status, const QString &verdict)
{
    return QStringLiteral(
               R"(\{"as_found":\{"mean":21\.5,"samples":3,"spread":0\},"as_left":%1,)"
               R"("channel":"temperature","conditions":\{"air_temperature_c":21\.5,)"
               R"("humidity_rh":45\.3,"oil_temperature_c":40\.2,"pressure_kpa":101\.3\},)"
               R"("operator":"Ann","pack":"21 51 05 00 EB 9E","port":"PORT",)"
               R"("program":"corvane-cli","reference":"23\.5","reference_id":"REF-7",)"
               R"("status":%2,"time":"%3","unit":"°C","verdict":"%4","version":"0\.1\.0"\}\n)")
        .arg(asLeft, status, Time, verdict);
}
} // namespace

class TestCli : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void run_data();
    void run();
};

void TestCli::initTestCase()
{
    // The offset in the times is then +00:00, which ISO 8601 also allows as Z.
    qputenv("TZ", "UTC");
}

void TestCli::run_data()
{
    QTest::addColumn<Setup>("setup");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out"); // all of stdout, and of FILE when the row names one
    // Found in stderr. A loaded machine may delay an answer past its interval, and a note says
    // so, so only rows about stderr look at it.
    QTest::addColumn<QString>("err");
    // The commands the unit received, repeats left out; "*" when the row does not look.
    QTest::addColumn<QString>("received");

    const QString calibrate = "calibrate --port PORT temperature 23.5 --record FILE "
                              "--operator Ann --reference-id REF-7";
    const QString read = QStringLiteral("read --port PORT --interval 0.1 ");
    const auto row = [](const char *name, Setup setup, const QString &arguments, int exitCode,
                        const QString &out, const QString &err, const QString &received) {
        QTest::newRow(name) << setup << arguments.split(' ') << exitCode << out << err << received;
    };
    row("version", Plain, "--version", 0, R"(corvane-cli 0\.1\.0\n)", "^$", "");
    row("ports as JSON lines", Plain, "ports --format jsonl", 0,
        R"((\{"can_open":(true|false),"description":.*,"vid_pid":"[0-9a-f:]*"\}\n)*)", "^$", "*");
    row("find", Plain, "find PORT", 0, "PORT\n", "^$", "63");
    row("find none", Silent, "find --timeout 300 PORT " + Missing, 4, "",
        Missing + " cannot be opened", "63");
    row("without a port none answers", Plain, "read --count 1", 4, "", "no unit answered", "");
    row("read csv", Plain, read + "--count 3 --format csv", 0, Header + CsvLine.repeated(3), "",
        "63 60");
    row("read jsonl by default", NegativeAir, read + "--count 2", 0,
        (R"(\{"time":")" + Time
         + R"(","air_temperature_c":-10\.0,"humidity_rh":45\.3,"pressure_kpa":101\.3,)"
           R"("oil_temperature_c":40\.2\}\n)")
            .repeated(2),
        "", "*");
    row("read text", Plain, read + "--count 1 --format text", 0,
        Time + R"(  air 21\.5 °C  humidity 45\.3 %RH  pressure 101\.3 kPa  oil 40\.2 °C\n)", "",
        "*");
    row("read for a duration", Plain, read + "--duration 0.5 --format csv", 0,
        Header + "(" + CsvLine + ")+", "", "*");
    row("csv header once in a file", HeaderPresent, read + "--count 1 --format csv --output FILE",
        0, Header + CsvLine.repeated(2), "", "*");
    row("unwritable output", Plain, read + "--count 1 --output /proc/corvane/log", 6, "",
        "cannot be written", "");
    row("missing port", Plain, "read --count 1 --port " + Missing, 3, "", "cannot be opened", "*");
    row("silent unit", Silent, read + "--count 1", 4, "", "no answer to the connection check",
        "63");
    row("five samples unanswered", SilentAfterCheck, read + "--count 1", 4, "",
        "5 samples in a row got no answer", "63 60");
    row("spoiled answer", SpoiledSample, read + "--count 3 --format csv", 0,
        Header + CsvLine.repeated(3), "no answer to the sample", "*");
    row("short answer", ShortAnswer, read + "--duration 0.5", 0, "",
        "an answer without all four readings, no line", "*");
    row("SIGTERM", Terminated, read + "--format csv", 0, Header + "(" + CsvLine + ")+", "", "*");
    row("hang-up", HangUp, read + "--format csv", 4, Header + "(" + CsvLine + ")+", "is lost", "*");
    row("hang-up and reconnect", HangUpReconnect, read + "--count 4 --format csv --reconnect", 0,
        Header + CsvLine.repeated(4), "answers again", "*");
    row("unknown command", Plain, "frobnicate", 2, "", "unknown command", "");
    row("option of another command", Plain, read + "--yes", 2, "", "--yes does not go with read",
        "");
    row("interval below 0.1", Plain, "read --port PORT --interval 0.05", 2, "", "at least 0.1", "");

    row("calibration", Plain, calibrate, 0,
        record(R"(\{"mean":23\.5,"samples":3,"spread":0\})", "1", "succeeded"), "", "63 60 51 60");
    row("failed verdict, negative value", FailedVerdict,
        "calibrate --port PORT oil -12.5 --record FILE", 1,
        R"(\{"as_found":.*"as_left":null,"channel":"oil",.*"pack":"21 61 05 FF 83 F7",.*)"
        R"("reference":"-12\.5",.*"status":0,.*"verdict":"failed".*\}\n)",
        "the unit reports the calibration failed", "63 60 61");
    row("calibration unanswered", CalibrationUnanswered, calibrate, 4,
        record("null", "null", "no answer"), "no answer to the calibration", "63 60 51");
    row("silent after the calibration", SilentAfterCalibration, calibrate, 4,
        record("null", "1", "succeeded"), "the unit stopped answering", "63 60 51 60");
    row("reading unsettled", Unsettled, calibrate + " --settle 1 --tolerance 0 --settle-timeout 2",
        5, "", "did not settle within 2 s", "63 60");
    row("silent unit, no calibration", Silent, calibrate, 4, "", "no answer", "63");
    row("missing port, no calibration", Plain,
        "calibrate temperature 23.5 --record FILE --port " + Missing, 3, "", "cannot be opened",
        "");
    row("unwritable record, port untouched", Plain,
        "calibrate --port PORT temperature 23.5 --record /proc/corvane/record", 6, "",
        "cannot be written", "");
    row("not a number", Plain, "calibrate --port PORT humidity nan --record FILE", 2, "",
        "nan is not a plain decimal number", "");
    row("out of range", Plain, "calibrate --port PORT humidity -0.1 --record FILE", 2, "",
        "-0.1 is outside the humidity range 0 to 6553.5", "");
    row("unknown channel", Plain, "calibrate --port PORT wind 1 --record FILE", 2, "",
        "unknown channel wind", "");
    row("reset unconfirmed", Plain, "reset --port PORT", 2, "", "needs --yes", "");
    row("reset", Plain, "reset --port PORT --yes", 0, "", "factory settings", "63 56");
}

void TestCli::run()
{
    QFETCH(Setup, setup);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);
    QFETCH(QString, received);

    QTemporaryDir scratch;
    QVERIFY(scratch.isValid());
    SimulatedUnit unit;
    SimulatedUnit spare;
    QVERIFY(unit.openPty());
    unit.setDrift(false);
    spare.setDrift(false);
    // The program reaches the unit through a link, so that a unit back on another
    // pseudo-terminal is found at the same path.
    const QString port = scratch.filePath(QStringLiteral("unit"));
    QVERIFY(QFile::link(unit.portName(), port));
    const QString file = scratch.filePath(QStringLiteral("file"));
    arguments.replaceInStrings(QStringLiteral("PORT"), port);
    arguments.replaceInStrings(QStringLiteral("FILE"), file);
    out.replace(QStringLiteral("PORT"), QRegularExpression::escape(port));

    bool alternate = false;
    switch (setup) {
    case NegativeAir:
        unit.setReading(SimulatedUnit::AirTemperature, -100);
        break;
    case Silent:
        unit.setSilent(true);
        break;
    case SilentAfterCheck:
    case SilentAfterCalibration:
        connect(&unit, &SimulatedUnit::answerWritten, this, [&](const QByteArray &bytes) {
            const quint8 command = setup == SilentAfterCheck ? 0x63 : 0x51;
            if (quint8(bytes.at(1)) == command)
                unit.setSilent(true);
        });
        break;
    case FailedVerdict:
        unit.setCalibrationStatus(0x00);
        break;
    case CalibrationUnanswered:
        unit.spoilNextAnswer(0x51, 0, 1, QByteArray());
        break;
    case Unsettled:
        connect(&unit, &SimulatedUnit::frameReceived, this, [&](const QByteArray &frame) {
            if (quint8(frame.at(1)) == 0x60)
                unit.setReading(SimulatedUnit::AirTemperature,
                                (alternate = !alternate) ? 200 : 201);
        });
        break;
    case SpoiledSample:
        // The high byte of the air temperature turned from 00 into 7F: 3276.7 were it shown.
        unit.spoilNextAnswer(0x60, 3, 1, QByteArray("\x7F"));
        break;
    case ShortAnswer:
        connect(&unit, &SimulatedUnit::frameReceived, this, [&](const QByteArray &frame) {
            if (quint8(frame.at(1)) == 0x60)
                unit.spoilNextAnswer(0x60, 0, 12,
                                     SensorProtocol::pack(0x60, QByteArray::fromHex("00D701C5")));
        });
        break;
    case HeaderPresent: {
        QFile prefill(file);
        QVERIFY(prefill.open(QIODevice::WriteOnly));
        prefill.write((Header + "2026-12-07T19:45:04.123+00:00,21.5,45.3,101.3,40.2\n").toUtf8());
        break;
    }
    default:
        break;
    }

    QProcess cli;
    QByteArray stdoutBytes;
    connect(&cli, &QProcess::readyReadStandardOutput, this,
            [&] { stdoutBytes += cli.readAllStandardOutput(); });
    cli.start(QStringLiteral(CORVANE_CLI), arguments);
    QVERIFY(cli.waitForStarted());
    if (setup == HangUp || setup == HangUpReconnect || setup == Terminated) {
        QTRY_VERIFY_WITH_TIMEOUT(stdoutBytes.count('\n') >= 2, 10000);
        if (setup == Terminated)
            cli.terminate();
        else
            unit.hangUp();
    }
    if (setup == HangUpReconnect) {
        QTest::qWait(300);
        QVERIFY(spare.openPty());
        QVERIFY(QFile::remove(port) && QFile::link(spare.portName(), port));
    }
    QTRY_VERIFY_WITH_TIMEOUT(cli.state() == QProcess::NotRunning, 20000);
    stdoutBytes += cli.readAllStandardOutput();
    const QString errText = QString::fromUtf8(cli.readAllStandardError());

    QCOMPARE(cli.exitStatus(), QProcess::NormalExit);
    QVERIFY2(cli.exitCode() == exitCode, qPrintable(errText));
    QVERIFY2(QRegularExpression(err).match(errText).hasMatch(), qPrintable(errText));
    // A calibration's record goes to stdout and FILE alike, --output's lines only to FILE; a
    // run that ends before the calibration writes no record.
    const QRegularExpression whole(QRegularExpression::anchoredPattern(out));
    const bool output = arguments.contains(QStringLiteral("--output"));
    const QString printed = QString::fromUtf8(stdoutBytes);
    QVERIFY2(output ? printed.isEmpty() : whole.match(printed).hasMatch(), qPrintable(printed));
    if (output || arguments.contains(QStringLiteral("--record"))) {
        QFile written(file);
        const QString text = written.open(QIODevice::ReadOnly) ? written.readAll() : QString();
        QVERIFY2(whole.match(text).hasMatch(), qPrintable(text));
    }
    if (received != QLatin1String("*")) {
        QStringList commands;
        for (const SimulatedUnit::Frame &frame : unit.receivedFrames()) {
            const QString command = QString::fromLatin1(frame.bytes.mid(1, 1).toHex());
            if (commands.isEmpty() || commands.last() != command)
                commands << command;
        }
        QCOMPARE(commands.join(' '), received);
    }
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
