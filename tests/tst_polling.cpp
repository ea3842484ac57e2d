#include "sensorprotocol.h"
#include "windowharness.h"

#include <QtTest>

#include <memory>

// Timing checks hold on a loaded two-core machine: the tick is 1000 ms, the second request of a
// tick follows its first by about 50 ms.
static const int kPeriodTolerance = 50;

static bool gapIsAboutFifty(qint64 gap)
{
    return gap >= 40 && gap <= 150;
}

// The first tick after an answer comes 1000 ms after the window handled it, which happened
// between the answer's sending and the test seeing its effect: measured from those two, a late
// delivery of the answer on a loaded machine moves neither bound.
static bool tickFollowsAnswer(qint64 tick, qint64 sentAt, qint64 seenAt)
{
    return tick - sentAt >= 1000 - kPeriodTolerance && tick - seenAt <= 1000 + kPeriodTolerance;
}

static QByteArray tickTimes(qint64 tick, qint64 sentAt, qint64 seenAt)
{
    return QByteArray::number(tick - sentAt) + " after the send, "
        + QByteArray::number(tick - seenAt) + " after the effect";
}

// Presses a button once the first tick's request reached the unit, from the event loop rather
// than from inside the unit's signal.
static void clickAtFirstTick(WindowHarness &harness, const char *name)
{
    auto pressed = std::make_shared<bool>(false);
    QObject::connect(&harness.unit, &SimulatedUnit::frameReceived, &harness.window,
                     [&harness, name, pressed](const QByteArray &frame) {
                         if (!*pressed && quint8(frame.at(1)) == 0x50) {
                             *pressed = true;
                             QTimer::singleShot(0, harness.button(name), &QPushButton::click);
                         }
                     });
}

class TestPolling : public QObject
{
    Q_OBJECT

private slots:
    void startsOnlyWhenTheUnitAnswers();
    void laterAnswersKeepThePhase();
    void calibrationPausesTicksUntilItsAnswer();
    void calibrationDuringTheWaitGoesBetweenTheRequests();
    void boxDuringTheWaitHoldsBackTheTick();
    void closeKeepsTheTimerRunning();
};

void TestPolling::startsOnlyWhenTheUnitAnswers()
{
    WindowHarness harness;
    harness.unit.setSilent(true);
    harness.comboBox()->addItem(harness.unit.portName());
    harness.button("pushButton_OpenCom")->click();
    QTest::qWait(1500);
    QCOMPARE(harness.commandsReceived(), QList<quint8>{0x63});
    QVERIFY(harness.button("pushButton_OpenCom")->isEnabled());

    harness.unit.setSilent(false);
    const qint64 sentAt = SimulatedUnit::clockMsecs();
    harness.unit.sendRaw(SensorProtocol::pack(0x63));
    QVERIFY(QTest::qWaitFor([&] { return !harness.button("pushButton_OpenCom")->isEnabled(); }));
    const qint64 seenAt = SimulatedUnit::clockMsecs();
    QTRY_COMPARE_WITH_TIMEOUT(harness.requests(0x50).size(), 3, 5000);
    QTRY_COMPARE(harness.requests(0x60).size(), 3);
    QVERIFY(!harness.button("pushButton_OpenCom")->isEnabled());

    const QList<SimulatedUnit::Frame> polls = harness.requests(0x50);
    const QList<SimulatedUnit::Frame> oilPolls = harness.requests(0x60);
    QCOMPARE(polls.first().bytes, QByteArray::fromHex("2150038C"));
    QCOMPARE(oilPolls.first().bytes, QByteArray::fromHex("2160037C"));
    QVERIFY2(tickFollowsAnswer(polls.first().msecs, sentAt, seenAt),
             tickTimes(polls.first().msecs, sentAt, seenAt).constData());
    for (int i = 0; i < polls.size(); ++i) {
        if (i > 0) {
            const qint64 period = polls.at(i).msecs - polls.at(i - 1).msecs;
            QVERIFY2(qAbs(period - 1000) <= kPeriodTolerance, qPrintable(QString::number(period)));
        }
        const qint64 gap = oilPolls.at(i).msecs - polls.at(i).msecs;
        QVERIFY2(gapIsAboutFifty(gap), qPrintable(QString::number(gap)));
    }
    // The requests alternate 0x50, 0x60 after the greeting.
    QCOMPARE(harness.commandsReceived().mid(0, 7),
             (QList<quint8>{0x63, 0x50, 0x60, 0x50, 0x60, 0x50, 0x60}));
}

void TestPolling::laterAnswersKeepThePhase()
{
    WindowHarness harness;
    QVERIFY(harness.openUnit());
    QTRY_COMPARE_WITH_TIMEOUT(harness.requests(0x60).size(), 1, 3000);
    // Halfway between two ticks, answers that start the timer when it is stopped arrive.
    QTest::qWait(400);
    harness.unit.sendRaw(SensorProtocol::pack(0x63) + SensorProtocol::pack(0x51, "\x01")
                         + SensorProtocol::pack(0x61, "\x01"));
    harness.unit.sendRaw(SensorProtocol::pack(0x56));
    QTRY_COMPARE_WITH_TIMEOUT(harness.requests(0x50).size(), 3, 5000);
    QCOMPARE(harness.boxes.texts(), QStringList{QStringLiteral("恢复出厂设置：成功！")});
    // A restarted timer would move every later tick by the 400 ms after the tick at which the
    // answers came; load on the machine delays single ticks by far less, and not the ones after.
    const QList<SimulatedUnit::Frame> polls = harness.requests(0x50);
    for (int i = 1; i < polls.size(); ++i) {
        const qint64 shift = polls.at(i).msecs - polls.first().msecs - 1000 * i;
        QVERIFY2(qAbs(shift) <= 200, qPrintable(QString::number(shift)));
    }
}

void TestPolling::calibrationPausesTicksUntilItsAnswer()
{
    // Pressed as soon as the answered greeting has started the timer.
    WindowHarness harness;
    QVERIFY(harness.openUnit());
    harness.unit.setSilent(true);
    harness.edit("lineEdit_TempCali")->setText(QStringLiteral("23.46"));
    harness.button("pushButton_temCali")->click();
    QVERIFY(!harness.button("pushButton_temCali")->isEnabled());
    const int pollsBefore = harness.requests(0x50).size();
    QTest::qWait(2200);
    QCOMPARE(harness.requests(0x50).size(), pollsBefore);
    QCOMPARE(harness.requests(0x51).size(), 1);
    QCOMPARE(harness.requests(0x51).first().bytes, QByteArray::fromHex("21510500EA9F"));

    harness.unit.setSilent(false);
    const qint64 sentAt = SimulatedUnit::clockMsecs();
    harness.unit.sendRaw(SensorProtocol::pack(0x51, "\x01"));
    QVERIFY(QTest::qWaitFor([&] { return harness.button("pushButton_temCali")->isEnabled(); }));
    const qint64 seenAt = SimulatedUnit::clockMsecs();
    QCOMPARE(harness.label("label_TemCali")->text(), QStringLiteral("标定成功"));
    QTRY_COMPARE_WITH_TIMEOUT(harness.requests(0x50).size(), pollsBefore + 1, 2000);
    const qint64 resumed = harness.requests(0x50).last().msecs;
    QVERIFY2(tickFollowsAnswer(resumed, sentAt, seenAt),
             tickTimes(resumed, sentAt, seenAt).constData());
}

void TestPolling::calibrationDuringTheWaitGoesBetweenTheRequests()
{
    WindowHarness harness;
    QVERIFY(harness.openUnit());
    harness.edit("lineEdit_HumCalio")->setText(QStringLiteral("45.5"));
    clickAtFirstTick(harness, "pushButton_HumCali");
    QTRY_COMPARE_WITH_TIMEOUT(harness.requests(0x52).size(), 1, 3000);
    QTRY_COMPARE(harness.requests(0x60).size(), 1);
    QCOMPARE(harness.commandsReceived().mid(0, 4), (QList<quint8>{0x63, 0x50, 0x52, 0x60}));
    QCOMPARE(harness.requests(0x52).first().bytes, QByteArray::fromHex("21520501C7C0"));
}

void TestPolling::boxDuringTheWaitHoldsBackTheTick()
{
    WindowHarness harness;
    QVERIFY(harness.openUnit());
    const int holdMsecs = 1600;
    harness.boxes.setAction([&](QMessageBox *box) {
        QTimer::singleShot(holdMsecs, box,
                           [box] { ModalBoxWatcher::press(box, QStringLiteral("取消")); });
    });
    clickAtFirstTick(harness, "pushButton_reFactory");
    QTRY_COMPARE_WITH_TIMEOUT(harness.requests(0x60).size(), 1, 5000);
    QCOMPARE(harness.boxes.boxes().size(), 1);
    const qint64 held = harness.requests(0x60).first().msecs - harness.requests(0x50).first().msecs;
    QVERIFY2(held >= holdMsecs - kPeriodTolerance, qPrintable(QString::number(held)));
    // No tick ran while the box was open.
    QCOMPARE(harness.requests(0x50).size(), 1);
    QCOMPARE(harness.requests(0x56).size(), 0);
}

void TestPolling::closeKeepsTheTimerRunning()
{
    // Closed as soon as the answered greeting has started the timer.
    WindowHarness harness;
    QVERIFY(harness.openUnit());
    harness.button("pushButton_CloseCom")->click();
    QVERIFY(harness.button("pushButton_OpenCom")->isEnabled());
    const int received = harness.unit.receivedFrames().size();
    QTest::qWait(1500);
    QCOMPARE(harness.unit.receivedFrames().size(), received);

    // Reopened to a unit that never answers: the ticks still come, so the timer never stopped.
    harness.unit.setSilent(true);
    harness.button("pushButton_OpenCom")->click();
    QTRY_COMPARE(harness.requests(0x63).size(), 2);
    const int polls = harness.requests(0x50).size();
    QTRY_VERIFY_WITH_TIMEOUT(harness.requests(0x50).size() > polls, 1500);
    QVERIFY(harness.boxes.boxes().isEmpty());
}

QTEST_MAIN(TestPolling)
#include "tst_polling.moc"
