#include "alarmboard.h"
#include "alarmlog.h"
#include "alarmlogpanel.h"
#include "readingformat.h"

#include <QTableWidget>
#include <QtTest>

// A limit left out of a row is an invalid QVariant.
static AlarmLimits limitsOf(const QVariant &low, const QVariant &high, int hysteresis, int delay)
{
    AlarmLimits limits;
    limits.enabled = true;
    if (low.isValid())
        limits.low = low.toInt();
    if (high.isValid())
        limits.high = high.toInt();
    limits.hysteresis = hysteresis;
    limits.delaySeconds = delay;
    return limits;
}

static QString eventText(const AlarmChannel::Event &event)
{
    static const char *const kinds[] = {"raised", "cleared", "acknowledged"};
    QString text = QString::number(event.msecs) + ' ' + kinds[int(event.kind)];
    if (event.value)
        text += ' ' + QString::number(*event.value);
    if (event.limit)
        text += '/' + QString::number(*event.limit);
    return text;
}

class TestAlarms : public QObject
{
    Q_OBJECT

private slots:
    void followsTheValues_data();
    void followsTheValues();
    void refusesLimits_data();
    void refusesLimits();
    void keepsTheLog_data();
    void keepsTheLog();
    void showsTheNewestFirst();
};

void TestAlarms::followsTheValues_data()
{
    QTest::addColumn<int>("row"); // a channel or the link
    QTest::addColumn<QVariant>("low");
    QTest::addColumn<QVariant>("high");
    QTest::addColumn<int>("hysteresis");
    QTest::addColumn<int>("delay"); // the link's seconds without data
    // "ms tenths", "ms -" an unanswered second, "ms lost", "ms ack", "ms restore"
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QString>("events"); // "ms kind value/limit", comma-separated
    QTest::addColumn<QString>("state");

    const int air = SensorProtocol::AirTemperature;
    const int link = AlarmChannel::Link;
    const QVariant none;
    QTest::newRow("a spike shorter than the delay")
        << air << none << QVariant(300) << 5 << 3 << "0 250, 1000 320, 2000 250, 4000 250"
        << ""
        << "normal";
    QTest::newRow("back inside during the delay starts it afresh")
        << air << none << QVariant(300) << 5 << 3
        << "0 310, 1000 310, 2000 298, 3000 310, 4000 310, 5000 310, 6000 310"
        << "6000 raised 310/300"
        << "active";
    QTest::newRow("a value on the edge does not chatter")
        << air << none << QVariant(300) << 5 << 0
        << "0 301, 1000 296, 2000 301, 3000 295, 4000 294, 5000 299, 6000 301"
        << "0 raised 301/300, 4000 cleared 294/300, 6000 raised 301/300"
        << "active";
    QTest::newRow("acknowledged while active, it clears by itself")
        << air << none << QVariant(300) << 5 << 1
        << "0 310, 1000 310, 2000 ack, 3000 310, 4000 290, 5000 ack"
        << "1000 raised 310/300, 2000 acknowledged 310/300, 4000 cleared 290/300"
        << "normal";
    QTest::newRow("cleared, then acknowledged")
        << air << none << QVariant(300) << 5 << 0 << "0 310, 1000 290, 2000 290, 3000 ack"
        << "0 raised 310/300, 1000 cleared 290/300, 3000 acknowledged 290/300"
        << "normal";
    QTest::newRow("cleared and not acknowledged")
        << air << none << QVariant(300) << 5 << 0 << "0 310, 1000 290"
        << "0 raised 310/300, 1000 cleared 290/300"
        << "cleared";
    QTest::newRow("an unanswered second neither raises nor clears")
        << air << none << QVariant(300) << 5 << 3
        << "0 310, 1000 -, 2000 -, 3000 -, 4000 310, 5000 -"
        << "4000 raised 310/300"
        << "active";
    QTest::newRow("no data after N seconds")
        << link << none << none << 5 << 3 << "1000 -, 2000 -, 3000 -, 4000 -, 5000 250"
        << "3000 raised 3/3, 5000 cleared 5/3"
        << "cleared";
    QTest::newRow("a lost device at once")
        << link << none << none << 5 << 10 << "0 250, 1000 lost, 2000 ack, 3000 -"
        << "1000 raised 1/10, 2000 acknowledged 1/10"
        << "active silenced";
    QTest::newRow("a low limit alone") << int(SensorProtocol::Humidity) << QVariant(100) << none
                                       << 5 << 0 << "0 500, 1000 99, 2000 105, 3000 106, 4000 9000"
                                       << "1000 raised 99/100, 3000 cleared 106/100"
                                       << "cleared";
    QTest::newRow("a restored alarm is owed an acknowledgement")
        << air << none << QVariant(300) << 5 << 3 << "0 restore, 1000 310, 2000 ack"
        << "2000 acknowledged 310/300"
        << "pending";
}

void TestAlarms::followsTheValues()
{
    QFETCH(int, row);
    QFETCH(QVariant, low);
    QFETCH(QVariant, high);
    QFETCH(int, hysteresis);
    QFETCH(int, delay);
    QFETCH(QString, steps);
    QFETCH(QString, events);
    QFETCH(QString, state);

    AlarmBoard board;
    // Every other row is switched off, so that this one alone sets the worst state.
    for (int other = 0; other < AlarmBoard::RowCount; ++other)
        board.setLimits(other,
                        other == row ? limitsOf(low, high, hysteresis, delay) : AlarmLimits());
    board.portOpened(0);
    for (const QString &step : steps.split(", ")) {
        const qint64 msecs = step.section(' ', 0, 0).toLongLong();
        const QString what = step.section(' ', 1);
        if (what == "-") {
            board.unanswered(msecs);
        } else if (what == "lost") {
            board.deviceLost(msecs);
        } else if (what == "ack") {
            board.acknowledge(row, msecs);
        } else if (what == "restore") {
            board.restoreUnacknowledged(row, high.isValid() ? high.toInt() : low.toInt());
        } else {
            SensorProtocol::Reading reading{QDateTime::fromMSecsSinceEpoch(msecs), {}};
            std::fill(std::begin(reading.tenths), std::end(reading.tenths), what.toInt());
            board.reading(reading);
        }
    }

    QStringList happened;
    for (const AlarmChannel::Event &event : board.takeEvents()) {
        QCOMPARE(event.channel, row);
        happened << eventText(event);
    }
    QCOMPARE(happened.join(", "), events);
    static const char *const states[] = {"normal", "pending", "cleared", "active"};
    QCOMPARE(QString(states[int(board.worst())]), state.section(' ', 0, 0));
    QCOMPARE(board.row(row).isSilenced(), state.endsWith("silenced"));
}

void TestAlarms::refusesLimits_data()
{
    QTest::addColumn<int>("row"); // a channel or the link
    QTest::addColumn<QVariant>("low");
    QTest::addColumn<QVariant>("high");
    QTest::addColumn<int>("hysteresis");
    QTest::addColumn<int>("delay");
    QTest::addColumn<QString>("refusal"); // "field: reason", the field the dialog focuses

    const int link = AlarmChannel::Link;
    const QVariant none;
    QTest::newRow("kept") << 0 << QVariant(-100) << QVariant(300) << 5 << 10 << "";
    QTest::newRow("one limit takes any hysteresis")
        << 0 << none << QVariant(300) << 900 << 10 << "";
    QTest::newRow("low not below high")
        << 0 << QVariant(300) << QVariant(300) << 5 << 10 << "high: 下限必须低于上限";
    QTest::newRow("negative hysteresis")
        << 0 << QVariant(0) << QVariant(300) << -1 << 10 << "hysteresis: 回差不能为负数";
    QTest::newRow("hysteresis as wide as the span")
        << 0 << QVariant(0) << QVariant(10) << 10 << 10 << "hysteresis: 回差必须小于上限与下限之差";
    QTest::newRow("outside the calibration's range")
        << int(SensorProtocol::Humidity) << QVariant(-1) << none << 5 << 10
        << "low: 超出范围 0.0 至 6553.5";
    QTest::newRow("switched on without a limit")
        << 0 << none << none << 5 << 10 << "low: 启用时至少要设下限或上限";
    QTest::newRow("a delay beyond a day")
        << 0 << none << QVariant(300) << 5 << 86401 << "delay: 延时须为 0 至 86400 的整数秒";
    QTest::newRow("the link needs no limit") << link << none << none << 5 << 0 << "";
    QTest::newRow("the link's negative delay")
        << link << none << none << 5 << -1 << "delay: 延时须为 0 至 86400 的整数秒";
}

void TestAlarms::refusesLimits()
{
    QFETCH(int, row);
    QFETCH(QVariant, low);
    QFETCH(QVariant, high);
    QFETCH(int, hysteresis);
    QFETCH(int, delay);
    QFETCH(QString, refusal);

    static const char *const fields[] = {"low", "high", "hysteresis", "delay"};
    AlarmLimits::Field field = AlarmLimits::Field::Low;
    const QString reason = limitsOf(low, high, hysteresis, delay).refusal(row, &field);
    QCOMPARE(reason.isEmpty() ? reason : fields[int(field)] + QStringLiteral(": ") + reason,
             refusal);
}

// A log entry as "time row kind value limit hysteresis delay [user]", "-" for an unknown value.
static QString rowName(int row)
{
    return row == AlarmChannel::Link ? "link" : SensorProtocol::Channels[row].name;
}

static QString entryText(const AlarmLog::Entry &entry)
{
    static const char *const kinds[] = {"raised", "cleared", "acknowledged"};
    const auto number = [](const std::optional<int> &n) {
        return n ? QString::number(*n) : QString("-");
    };
    QStringList fields = {ReadingFormat::isoTime(entry.time),
                          rowName(entry.row),
                          kinds[int(entry.kind)],
                          number(entry.value),
                          number(entry.limit),
                          QString::number(entry.hysteresis),
                          QString::number(entry.delaySeconds)};
    if (!entry.user.isEmpty())
        fields << entry.user;
    return fields.join(' ');
}

static AlarmLog::Entry entryOf(const QString &text)
{
    static const QStringList kinds = {"raised", "cleared", "acknowledged"};
    const auto number = [&](int field) {
        const QString n = text.section(' ', field, field);
        return n == "-" ? std::optional<int>() : n.toInt();
    };
    int row = 0;
    while (rowName(row) != text.section(' ', 1, 1))
        ++row;
    return {QDateTime::fromString(text.section(' ', 0, 0), Qt::ISODateWithMs),
            row,
            AlarmChannel::Kind(kinds.indexOf(text.section(' ', 2, 2))),
            number(3),
            number(4),
            text.section(' ', 5, 5).toInt(),
            text.section(' ', 6, 6).toInt(),
            text.section(' ', 7)};
}

void TestAlarms::keepsTheLog_data()
{
    QTest::addColumn<QByteArray>("before"); // the file's bytes before appending
    QTest::addColumn<QStringList>("appended");
    QTest::addColumn<int>("count");
    QTest::addColumn<QStringList>("readBack");
    QTest::addColumn<QString>("unacknowledged");
    QTest::addColumn<QByteArray>("lastLine"); // checked when given
    QTest::addColumn<QString>("locale");

    const QString raised = "2026-12-10T14:02:11.123+08:00 oil raised 613 600 5 10";
    const QByteArray raisedLine =
        R"({"time":"2026-12-10T14:02:11.123+08:00","channel":"oil_temperature_c","event":"raised",)"
        R"("value":61.3,"limit":60.0,"hysteresis":0.5,"delay":10})";
    const QStringList mixed = {
        raised,
        "2026-12-10T14:02:15.007+08:00 oil acknowledged 613 600 5 10 alice",
        "2026-12-10T14:03:00.999+08:00 oil cleared 594 600 5 10",
        "2026-12-10T23:59:59.001-03:30 temperature raised -105 -100 20 0",
        "2026-12-11T00:00:00.000+00:00 link raised 12 10 0 10",
        "2026-12-11T00:00:01.000+00:00 humidity acknowledged - - 5 10 bob",
    };
    QTest::newRow("every field read back")
        << QByteArray() << mixed << 1000 << mixed << "temperature link" << QByteArray() << "";
    QTest::newRow("the line of a raised alarm") << QByteArray() << QStringList{raised} << 1000
                                                << QStringList{raised} << "oil" << raisedLine << "";
    QTest::newRow("in Arabic digits") << QByteArray() << QStringList{raised} << 1000
                                      << QStringList{raised} << "oil" << raisedLine << "ar_EG";
    const QString acknowledged =
        "2026-12-11T00:00:01.000+00:00 link acknowledged 3 10 0 10 李 \"x\"\\y";
    QTest::newRow("an acknowledgement names its user, escaped")
        << QByteArray() << QStringList{acknowledged} << 1000 << QStringList{acknowledged} << ""
        << QByteArray(R"({"time":"2026-12-11T00:00:01.000+00:00","channel":"link",)"
                      R"("event":"acknowledged","value":3,"limit":10,"hysteresis":0.0,)"
                      R"("delay":10,"user":"李 \"x\"\\y"})")
        << "";
    QTest::newRow("the user only on acknowledgements")
        << QByteArray() << QStringList{raised + " mallory"} << 1000 << QStringList{raised} << "oil"
        << raisedLine << "";
    const QByteArray torn = R"({"time":"2026-12-10T14:05:00.000+08:00","channel":"oil_te)";
    QTest::newRow("a torn last line passed over")
        << raisedLine + "\n" + torn << QStringList() << 1000 << QStringList{raised} << "oil"
        << QByteArray() << "";
    QTest::newRow("an entry after a torn line on a line of its own")
        << torn << QStringList{raised} << 1000 << QStringList{raised} << "oil" << QByteArray()
        << "";
    QTest::newRow("a foreign line passed over")
        << R"({"time":"2026-12-10T14:00:00.000+08:00","air_temperature_c":21.5})"
           "\nnot json\n"
            + raisedLine + R"(
{"time":"2026-12-10T14:06:00.000+08:00","channel":"wind","event":"raised","value":1.0,"limit":0.5,"hysteresis":0.5,"delay":10}
)" << QStringList()
        << 1000 << QStringList{raised} << "oil" << QByteArray() << "";
    QTest::newRow("only the last N")
        << QByteArray() << mixed << 2 << QStringList(mixed.mid(4)) << "link" << QByteArray() << "";

    // More than a read from the end takes at once, so that lines straddle its blocks.
    QByteArray longLog;
    QStringList lastThousand;
    const QDateTime start(QDate(2026, 12, 10), QTime(0, 0), Qt::OffsetFromUTC, 8 * 3600);
    for (int i = 0; i < 3000; ++i) {
        const QString time = ReadingFormat::isoTime(start.addMSecs(i * 1001));
        longLog += QString(R"({"time":"%1","channel":"humidity_rh","event":"cleared","value":%2,)"
                           R"("limit":50.0,"hysteresis":0.5,"delay":10})"
                           "\n")
                       .arg(time, ReadingFormat::tenthsText(i))
                       .toUtf8();
        if (i >= 2000)
            lastThousand << time + QString(" humidity cleared %1 500 5 10").arg(i);
    }
    QTest::newRow("the last thousand of a long log")
        << longLog << QStringList() << 1000 << lastThousand << "" << QByteArray() << "";

    const QStringList steps = {
        "2026-12-10T14:00:00.000+08:00 pressure raised 1200 1100 5 10",
        "2026-12-10T14:00:01.000+08:00 pressure acknowledged 1200 1100 5 10 alice",
        "2026-12-10T14:00:02.000+08:00 pressure cleared 1090 1100 5 10",
    };
    const auto owed = [&](const char *name, const QList<int> &order, const QString &listed) {
        QStringList appended = {steps[0]};
        for (int step : order)
            appended << steps[step];
        QTest::newRow(name) << QByteArray() << appended << 1000 << appended << listed
                            << QByteArray() << "";
    };
    owed("raised is owed", {}, "pressure");
    owed("raised and acknowledged is still active", {1}, "pressure");
    owed("raised and cleared is still owed", {2}, "pressure");
    owed("raised, acknowledged, cleared is settled", {1, 2}, "");
    owed("raised, cleared, acknowledged is settled", {2, 1}, "");
}

void TestAlarms::keepsTheLog()
{
    QFETCH(QByteArray, before);
    QFETCH(QStringList, appended);
    QFETCH(int, count);
    QFETCH(QStringList, readBack);
    QFETCH(QString, unacknowledged);
    QFETCH(QByteArray, lastLine);
    QFETCH(QString, locale);

    const auto restore = qScopeGuard([] { QLocale::setDefault(QLocale::system()); });
    if (!locale.isEmpty())
        QLocale::setDefault(QLocale(locale));
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // The folder is made by the first append.
    const QString path = dir.filePath("corvane/alarms.jsonl");
    if (!before.isEmpty()) {
        QVERIFY(QDir(dir.path()).mkdir("corvane"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(before), before.size());
    }
    AlarmLog log(path);
    for (const QString &text : appended)
        QVERIFY2(log.append(entryOf(text)), qPrintable(log.errorString()));

    const std::vector<AlarmLog::Entry> back = log.readBack(count);
    QStringList texts;
    for (const AlarmLog::Entry &entry : back)
        texts << entryText(entry);
    QCOMPARE(texts, readBack);
    QStringList rows;
    for (int row : AlarmLog::unacknowledged(back))
        rows << rowName(row);
    QCOMPARE(rows.join(' '), unacknowledged);
    if (!lastLine.isEmpty()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray content = file.readAll();
        QCOMPARE(content.right(lastLine.size() + 1), lastLine + '\n');
    }
}

void TestAlarms::showsTheNewestFirst()
{
    // One more than the panel keeps, oldest first as the log reads back, each a second apart.
    const QDateTime start = QDateTime::currentDateTime();
    std::vector<AlarmLog::Entry> entries;
    for (int i = 0; i <= AlarmLogPanel::MaxRows; ++i)
        entries.push_back({start.addSecs(i), i % 4, AlarmChannel::Kind::Raised, i, 0, 5, 10, {}});
    AlarmLogPanel panel;
    panel.setEntries(entries);
    panel.add({start.addSecs(5000), AlarmChannel::Link, AlarmChannel::Kind::Acknowledged, 12, 10, 0,
               10, "alice"});

    const QTableWidget *table = panel.findChild<QTableWidget *>();
    QVERIFY(table);
    QCOMPARE(table->rowCount(), AlarmLogPanel::MaxRows);
    const auto rowText = [&](int row) {
        QStringList texts;
        for (int column = 1; column < table->columnCount(); ++column)
            texts << table->item(row, column)->text();
        return texts.join(" | ");
    };
    QCOMPARE(rowText(0), "无数据 | 确认（alice） | 12 秒 | 10 秒");
    QCOMPARE(rowText(1), "温度 | 报警 | 100.0 ℃ | 0.0 ℃");
    QCOMPARE(rowText(AlarmLogPanel::MaxRows - 1), "气压 | 报警 | 0.2 kPa | 0.0 kPa");
}

QTEST_MAIN(TestAlarms)
#include "tst_alarms.moc"
