#include "readingformat.h"
#include "sensorprotocol.h"
#include "trendpanel.h"
#include "windowharness.h"

#include <QAction>
#include <QFileDialog>
#include <QMenuBar>
#include <QtTest>
#include <qcustomplot.h>

#include <csignal>
#include <sys/resource.h>

// Answers the next file dialog with the path, as an operator typing it would.
static void answerFileDialog(const QString &path)
{
    auto *poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, poll, [poll, path] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        // Typed into the name field: selectFile() leaves a field that has the focus alone.
        dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(path);
        static_cast<QDialog *>(dialog)->accept();
        // Stopped now: a deletion may wait until after the next dialog has opened.
        poll->stop();
        poll->deleteLater();
    });
    poll->start(20);
}

static QAction *action(const WindowHarness &harness, const QString &text)
{
    for (QAction *each : harness.window.menuBar()->findChildren<QAction *>()) {
        if (each->text() == text)
            return each;
    }
    return nullptr;
}

// The unit's full answers as it wrote them, each as the CSV columns of its four readings.
static QStringList answersOf(const QList<QByteArray> &written)
{
    QStringList rows;
    SensorProtocol::Reading reading;
    for (const QByteArray &bytes : written) {
        if (SensorProtocol::readingOf(bytes, QDateTime::currentDateTime(), &reading))
            rows << QString::fromLatin1(ReadingFormat::line(reading, ReadingFormat::Csv))
                        .section(QLatin1Char(','), 1);
    }
    return rows;
}

class TestTrend : public QObject
{
    Q_OBJECT

private slots:
    // Each case starts as a first start does.
    void init() { QSettings(QStringLiteral("Corvane"), QStringLiteral("corvane")).clear(); }
    void trendGrowsTheWindowBelowTheForm();
    void readingsArriveEachSecondWithGaps();
    void recordingKeepsWholeLines();
};

void TestTrend::trendGrowsTheWindowBelowTheForm()
{
    WindowHarness harness;
    harness.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&harness.window));
    QWidget *form = harness.widget<QWidget>("centralWidget");
    const QRect formPlace = form->geometry();
    const int height = harness.window.height();
    QCOMPARE(formPlace.size(), QSize(774, 464));
    QCOMPARE(height, 464 + harness.window.menuBar()->height());

    action(harness, QStringLiteral("趋势图"))->trigger();
    auto *panel = harness.window.findChild<TrendPanel *>();
    QVERIFY(panel && panel->isVisible());
    QTRY_VERIFY(harness.window.height() > height + 200);
    QCOMPARE(form->geometry(), formPlace);
    QCOMPARE(harness.window.height(), height + panel->height());

    // A click on a name in the legend hides its curve, and the next start remembers it.
    QCustomPlot *plot = panel->findChild<QCustomPlot *>();
    QTest::mouseClick(plot, Qt::LeftButton, {},
                      plot->legend->itemWithPlottable(plot->graph(2))->outerRect().center());
    QVERIFY(!plot->graph(2)->visible() && plot->graph(1)->visible());
    QVERIFY(!WindowHarness().window.findChild<QCustomPlot *>()->graph(2)->visible());

    action(harness, QStringLiteral("趋势图"))->trigger();
    QTRY_COMPARE(harness.window.height(), height);
    QCOMPARE(form->geometry(), formPlace);
}

void TestTrend::readingsArriveEachSecondWithGaps()
{
    WindowHarness harness;
    action(harness, QStringLiteral("趋势图"))->trigger();
    harness.window.show();
    QVERIFY(harness.openUnit());
    QCPGraphDataContainer &air = *harness.window.findChild<QCustomPlot *>()->graph(0)->data();
    QTRY_VERIFY_WITH_TIMEOUT(air.size() >= 3, 10000);
    for (int i = 1; i < air.size(); ++i)
        QVERIFY2(qAbs(air.at(i)->key - air.at(i - 1)->key - 1) < 0.5, "a reading a second");
    QVERIFY(!std::isnan(air.at(0)->value));

    // Two unanswered seconds: the curve breaks instead of bridging them.
    harness.unit.setSilent(true);
    const int before = air.size();
    QTest::qWait(2500);
    QCOMPARE(air.size(), before);
    harness.unit.setSilent(false);
    QTRY_VERIFY_WITH_TIMEOUT(air.size() >= before + 3, 10000);
    QVERIFY(std::isnan(air.at(before)->value));
    QVERIFY(!std::isnan(air.at(before + 1)->value));

    // The exports: every reading in view as read writes it, and the plot as the screen shows it.
    harness.unit.setSilent(true);
    QTest::qWait(1200);
    QTemporaryDir dir;
    answerFileDialog(dir.filePath("trend.csv"));
    action(harness, QStringLiteral("导出趋势数据…"))->trigger();
    QFile data(dir.filePath("trend.csv"));
    QVERIFY(data.open(QIODevice::ReadOnly));
    const QByteArrayList lines = data.readAll().split('\n');
    QCOMPARE(lines.first(), ReadingFormat::csvHeader());
    QCOMPARE(lines.size(), 2 + air.size() - 1);
    answerFileDialog(dir.filePath("trend.png"));
    action(harness, QStringLiteral("导出趋势图…"))->trigger();
    const QCustomPlot *plot = harness.window.findChild<QCustomPlot *>();
    QCOMPARE(QImage(dir.filePath("trend.png")).size(), plot->size() * plot->devicePixelRatioF());
}

void TestTrend::recordingKeepsWholeLines()
{
    // Declared first, so that it outlives the unit that appends to it.
    QList<QByteArray> written;
    WindowHarness harness;
    connect(&harness.unit, &SimulatedUnit::answerWritten, &harness.unit,
            [&written](const QByteArray &bytes) { written << bytes; });
    QTemporaryDir dir;
    const QString path = dir.filePath("bench.csv");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("time,half a line");
    file.close();
    harness.window.show();
    QVERIFY(harness.openUnit());
    QAction *record = action(harness, QStringLiteral("开始记录…"));
    answerFileDialog(path);
    record->trigger();
    QCOMPARE(record->text(), QStringLiteral("停止记录"));
    const auto rows = [&file] {
        file.open(QIODevice::ReadOnly);
        const QStringList lines = QString::fromLatin1(file.readAll()).split(QLatin1Char('\n'));
        file.close();
        return lines;
    };
    QTRY_VERIFY_WITH_TIMEOUT(rows().size() >= 5, 10000);
    QVERIFY(harness.window.findChild<QLabel *>()->text().contains(QStringLiteral("bench.csv")));

    // A full disk: the recording stops at once with whole lines and says why, once.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit normal{};
    getrlimit(RLIMIT_FSIZE, &normal);
    rlimit small{rlim_t(QFileInfo(path).size() + 100), normal.rlim_max};
    setrlimit(RLIMIT_FSIZE, &small);
    QTRY_COMPARE_WITH_TIMEOUT(record->text(), QStringLiteral("开始记录…"), 10000);
    setrlimit(RLIMIT_FSIZE, &normal);
    QTRY_COMPARE(harness.boxes.boxes().size(), 1);
    QVERIFY(harness.boxes.texts().at(0).contains(path));
    QTest::qWait(1500);
    QCOMPARE(harness.boxes.boxes().size(), 1);

    // The unit's answers, each once and in order, on lines of their own after the half line.
    QStringList lines = rows();
    QCOMPARE(lines.takeFirst(), QStringLiteral("time,half a line"));
    QCOMPARE(lines.takeLast(), QString());
    QStringList recorded;
    for (const QString &line : lines)
        recorded << line.section(QLatin1Char(','), 1);
    const QStringList answers = answersOf(written);
    const int first = answers.indexOf(recorded.at(0));
    QVERIFY(first >= 0);
    QCOMPARE(recorded, answers.mid(first, recorded.size()));
}

QTEST_MAIN(TestTrend)
#include "tst_trend.moc"
