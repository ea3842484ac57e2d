#include "alarmlimits.h"
#include "alarmlog.h"
#include "windowharness.h"

#include <QAction>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QMenuBar>
#include <QtTest>

static QAction *action(const WindowHarness &harness, const QString &text)
{
    for (QAction *each : harness.window.menuBar()->findChildren<QAction *>()) {
        if (each->text() == text)
            return each;
    }
    return nullptr;
}

// Fills the next limits dialog as an operator would: the fields named, then 确定.
static void answerLimitsDialog(const QMap<QString, QString> &typed)
{
    auto *poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, poll, [poll, typed] {
        auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        for (auto field = typed.begin(); field != typed.end(); ++field) {
            if (auto *box = dialog->findChild<QCheckBox *>(field.key()))
                box->setChecked(field.value() == QLatin1String("on"));
            else
                dialog->findChild<QLineEdit *>(field.key())->setText(field.value());
        }
        dialog->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok)->click();
        poll->stop();
        poll->deleteLater();
    });
    poll->start(20);
}

static QByteArrayList logLines()
{
    QFile file(AlarmLog::defaultPath());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QByteArrayList lines = file.readAll().split('\n');
    lines.removeLast(); // after the last newline
    return lines;
}

static QColor valueColour(const WindowHarness &harness)
{
    return harness.label("label_OilMeasure")->palette().color(QPalette::WindowText);
}

class TestAlarmWindow : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QSettings(QStringLiteral("Corvane"), QStringLiteral("corvane")).clear();
        QFile::remove(AlarmLog::defaultPath());
        QDir(AlarmLog::defaultPath()).removeRecursively();
    }
    void alarmRisesIsAcknowledgedAndComesBack();
    void logThatCannotBeWrittenShowsOneBox();
};

void TestAlarmWindow::alarmRisesIsAcknowledgedAndComesBack()
{
    auto harness = std::make_unique<WindowHarness>();
    QLabel *oil = harness->label("label_OilMeasure");
    const QColor normal = valueColour(*harness);
    harness->unit.setReading(SimulatedUnit::OilTemperature, 250);
    harness->window.show();
    QVERIFY(harness->openUnit());
    QVERIFY(QTest::qWaitForWindowActive(&harness->window));
    QTRY_COMPARE_WITH_TIMEOUT(oil->text(), QStringLiteral("25.00℃"), 5000);

    answerLimitsDialog({{"enabled_oil", "on"}, {"high_oil", "60.0"}, {"delay_oil", "1"}});
    action(*harness, QStringLiteral("报警限值…"))->trigger();
    auto *status = harness->widget<QLabel>("alarmStatusLine");
    QVERIFY(status->isHidden());

    // Beyond the limit: one event once the delay has run, the value red, the status line.
    harness->unit.setReading(SimulatedUnit::OilTemperature, 613);
    QTRY_COMPARE_WITH_TIMEOUT(logLines().size(), 1, 10000);
    QVERIFY(logLines().at(0).contains(R"("channel":"oil_temperature_c","event":"raised")"));
    QVERIFY(logLines().at(0).contains(R"("value":61.3,"limit":60.0,"hysteresis":0.5,"delay":1)"));
    QCOMPARE(oil->text(), QStringLiteral("61.30℃"));
    QCOMPARE(valueColour(*harness), QColor(0xC0, 0x00, 0x00));
    QVERIFY(status->isVisible());
    QVERIFY2(
        QRegularExpression(QStringLiteral("^报警：油温 高于 60.0 ℃（61.3 ℃）\\d\\d:\\d\\d:\\d\\d$"))
            .match(status->text())
            .hasMatch(),
        qPrintable(status->text()));

    // Acknowledged: still active until it clears, then normal without another acknowledgement.
    // The limits dialog had the focus; the window takes it back as a click on it would.
    harness->window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&harness->window));
    QTest::keyClick(&harness->window, Qt::Key_K, Qt::ControlModifier);
    QTRY_COMPARE(logLines().size(), 2);
    QVERIFY(logLines().at(1).contains(R"("event":"acknowledged")"));
    QVERIFY(logLines().at(1).contains(
        QStringLiteral(R"("user":"%1")").arg(AlarmLog::userName()).toUtf8()));
    QCOMPARE(valueColour(*harness), QColor(0xC0, 0x00, 0x00));
    harness->unit.setReading(SimulatedUnit::OilTemperature, 500);
    QTRY_COMPARE_WITH_TIMEOUT(logLines().size(), 3, 5000);
    QVERIFY(logLines().at(2).contains(R"("event":"cleared","value":50.0)"));
    QCOMPARE(valueColour(*harness), normal);
    QVERIFY(!oil->testAttribute(Qt::WA_SetPalette));
    QVERIFY(status->isHidden());
    QCOMPARE(oil->text(), QStringLiteral("50.00℃"));

    // Raised again and left: the next start shows it owed an acknowledgement.
    harness->unit.setReading(SimulatedUnit::OilTemperature, 650);
    QTRY_COMPARE_WITH_TIMEOUT(logLines().size(), 4, 10000);
    harness.reset();
    WindowHarness again;
    again.window.show();
    QVERIFY(QTest::qWaitForWindowActive(&again.window));
    status = again.widget<QLabel>("alarmStatusLine");
    QVERIFY(!status->isHidden());
    QVERIFY2(
        status->text().startsWith(QStringLiteral("已恢复，待确认：油温 高于 60.0 ℃（65.0 ℃）")),
        qPrintable(status->text()));
    QCOMPARE(valueColour(again), QColor(0xD0, 0x68, 0x00));
    QTest::keyClick(&again.window, Qt::Key_K, Qt::ControlModifier);
    QTRY_COMPARE(logLines().size(), 5);
    QVERIFY(logLines().at(4).contains(R"("event":"acknowledged","value":null,"limit":60.0)"));
    QVERIFY(status->isHidden());
    QCOMPARE(valueColour(again), normal);
}

void TestAlarmWindow::logThatCannotBeWrittenShowsOneBox()
{
    // A folder where the file belongs: no line can be written.
    QVERIFY(QDir().mkpath(AlarmLog::defaultPath()));
    AlarmLimits oil;
    oil.enabled = true;
    oil.high = 300;
    oil.delaySeconds = 0;
    oil.save(SensorProtocol::OilTemperature);
    WindowHarness harness;
    harness.window.show();
    QVERIFY(harness.openUnit());
    auto *status = harness.widget<QLabel>("alarmStatusLine");
    QTRY_VERIFY_WITH_TIMEOUT(status->isVisible(), 5000);
    QVERIFY(status->text().startsWith(QStringLiteral("报警：油温 高于 30.0 ℃")));
    QTRY_COMPARE(harness.boxes.boxes().size(), 1);
    QVERIFY(harness.boxes.texts().at(0).contains(AlarmLog::defaultPath()));

    // Cleared and raised again: the alarms still show, the box does not come back.
    harness.unit.setReading(SimulatedUnit::OilTemperature, 200);
    QTRY_VERIFY_WITH_TIMEOUT(status->text().startsWith(QStringLiteral("已恢复")), 5000);
    harness.unit.setReading(SimulatedUnit::OilTemperature, 400);
    QTRY_VERIFY_WITH_TIMEOUT(status->text().startsWith(QStringLiteral("报警")), 5000);
    QCOMPARE(harness.boxes.boxes().size(), 1);
}

QTEST_MAIN(TestAlarmWindow)
#include "tst_alarmwindow.moc"
