#include "samplewriter.h"
#include "trendhistory.h"

#include <QTemporaryDir>
#include <QtTest>

using Times = QList<qint64>;

// Reading i arrives at times[i] ms after a fixed moment, its air temperature values[i] tenths and
// each further channel 100 tenths above the one before.
static TrendHistory historyOf(const Times &times, const QList<int> &values, int capacity)
{
    TrendHistory history(capacity);
    const QDateTime start = QDateTime::fromMSecsSinceEpoch(1796000000000);
    for (int i = 0; i < times.size(); ++i) {
        SensorProtocol::Reading reading;
        reading.time = start.addMSecs(times.at(i));
        for (int channel = 0; channel < SensorProtocol::ChannelCount; ++channel)
            reading.tenths[channel] = values.at(i) + 100 * channel;
        history.append(reading);
    }
    return history;
}

class TestTrendHistory : public QObject
{
    Q_OBJECT

private slots:
    void keepsTheDayInView_data();
    void keepsTheDayInView();
    void exportIsWhatReadWrites();
};

void TestTrendHistory::keepsTheDayInView_data()
{
    QTest::addColumn<Times>("times");
    QTest::addColumn<QList<int>>("values");
    QTest::addColumn<int>("capacity");
    QTest::addColumn<Times>("view");
    QTest::addColumn<Times>("kept"); // the times the ring holds, oldest first
    QTest::addColumn<QList<int>>("gapsBefore");
    QTest::addColumn<QList<double>>("summary"); // count, minimum, maximum, mean of the view

    const Times second = {0, 1000, 2000, 3000};
    QTest::newRow("a reading a second, no gap")
        << second << QList<int>{10, 20, 30, 40} << 10 << Times{0, 3000} << second << QList<int>{}
        << QList<double>{4, 10, 40, 25};
    QTest::newRow("a late answer within the tolerance is no gap")
        << Times{0, 1000, 2450, 3400} << QList<int>{5, 5, 5, 5} << 10 << Times{0, 5000}
        << Times{0, 1000, 2450, 3400} << QList<int>{} << QList<double>{4, 5, 5, 5};
    QTest::newRow("a missing answer is a gap")
        << Times{0, 1000, 3000, 4000, 9000} << QList<int>{1, 2, 3, 4, 5} << 10 << Times{0, 9000}
        << Times{0, 1000, 3000, 4000, 9000} << QList<int>{2, 4} << QList<double>{5, 1, 5, 3};
    QTest::newRow("the oldest go first when the ring is full")
        << Times{0, 1000, 2000, 3000, 4000, 5000} << QList<int>{1, 2, 3, 4, 5, 6} << 4
        << Times{0, 9000} << Times{2000, 3000, 4000, 5000} << QList<int>{}
        << QList<double>{4, 3, 6, 4.5};
    QTest::newRow("the view takes its edges and nothing outside")
        << second << QList<int>{-12, 7, 30, -40} << 10 << Times{1000, 2000} << second
        << QList<int>{} << QList<double>{2, 7, 30, 18.5};
    QTest::newRow("a view without readings")
        << second << QList<int>{1, 2, 3, 4} << 10 << Times{1200, 1800} << second << QList<int>{}
        << QList<double>{0, 0, 0, 0};
}

void TestTrendHistory::keepsTheDayInView()
{
    QFETCH(Times, times);
    QFETCH(QList<int>, values);
    QFETCH(int, capacity);
    QFETCH(Times, view);
    QFETCH(Times, kept);
    QFETCH(QList<int>, gapsBefore);
    QFETCH(QList<double>, summary);

    const TrendHistory history = historyOf(times, values, capacity);
    const qint64 start = 1796000000000;
    Times held;
    QList<int> gaps;
    for (int i = 0; i < history.size(); ++i) {
        held << history.at(i).msecs - start;
        if (history.gapBefore(i))
            gaps << i;
    }
    QCOMPARE(held, kept);
    QCOMPARE(gaps, gapsBefore);
    QCOMPARE(history.isFull(), times.size() >= capacity);

    const TrendHistory::Summaries summaries =
        history.summarise(start + view.at(0), start + view.at(1));
    const TrendHistory::Summary &air = summaries[0];
    QCOMPARE(QList<double>({double(air.count), double(air.minimum), double(air.maximum), air.mean}),
             summary);
    // The other channels are summarised alike, each over its own values.
    if (air.count > 0)
        QCOMPARE(summaries[3].maximum, air.maximum + 300);
    // The cursor's reading: the one nearest in time, the newest beyond the end.
    QCOMPARE(history.at(history.nearest(start + kept.at(1) - 1)).msecs, start + kept.at(1));
    QCOMPARE(history.nearest(start + 100000), history.size() - 1);
}

void TestTrendHistory::exportIsWhatReadWrites()
{
    const TrendHistory history =
        historyOf({0, 1000, 3500, 4500}, {-405, 0, 253, 9999}, TrendHistory::DayOfReadings);
    QTemporaryDir dir;
    const QString path = dir.filePath("read.csv");
    {
        SampleWriter writer;
        QVERIFY(writer.open(path, ReadingFormat::Csv));
        for (int i = 1; i < 4; ++i)
            QVERIFY(writer.write(history.reading(i)));
    }
    QFile written(path);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(history.csv(history.at(1).msecs, history.at(3).msecs), written.readAll());
}

QTEST_GUILESS_MAIN(TestTrendHistory)
#include "tst_trendhistory.moc"
