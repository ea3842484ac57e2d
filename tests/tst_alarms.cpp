#include "alarmboard.h"

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

QTEST_GUILESS_MAIN(TestAlarms)
#include "tst_alarms.moc"
