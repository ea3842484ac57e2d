#include "sensorprotocol.h"
#include "windowharness.h"

#include <QtTest>

#include <memory>

static const char *const kCalibrationCommands = "\x51\x52\x53\x61";

static bool isCalibration(quint8 command)
{
    return QByteArray(kCalibrationCommands).contains(char(command));
}

static int calibrationPacksSent(const WindowHarness &harness)
{
    int count = 0;
    for (quint8 command : harness.commandsReceived())
        count += isCalibration(command) ? 1 : 0;
    return count;
}

class TestCommands : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void calibrationPacks_data();
    void calibrationPacks();
    void rejectedCalibrationInput_data();
    void rejectedCalibrationInput();
    void calibrationWhileClosed();
    void twoCalibrationsPending();
    void pendingCalibrationReleasedWithThePort_data();
    void pendingCalibrationReleasedWithThePort();
    void factoryResetCancelled();
    void factoryReset_data();
    void factoryReset();
    void openFailures_data();
    void openFailures();
    void lostDevice();

private:
    // The rejected inputs share one open window: a rejection leaves nothing behind but its box.
    std::unique_ptr<WindowHarness> rejecting;
    QString lastRejectedInput;
};

void TestCommands::init()
{
    // The shared window's watcher would answer the boxes of every later test.
    if (qstrcmp(QTest::currentTestFunction(), "rejectedCalibrationInput") != 0)
        rejecting.reset();
}

void TestCommands::calibrationPacks_data()
{
    QTest::addColumn<QString>("edit");
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("pack");

    const auto row = [](const char *name, const char *edit, const char *button, const char *text,
                        const char *pack) {
        QTest::newRow(name) << edit << button << text << QByteArray::fromHex(pack);
    };
    row("23.46", "lineEdit_TempCali", "pushButton_temCali", "23.46", "21510500EA9F");
    row("-1.25", "lineEdit_TempCali", "pushButton_temCali", "-1.25", "215105FFF496");
    row("101.3", "lineEdit_AtmCali", "pushButton_AtmCali", "101.3", "21530503F58F");
    row("45.5", "lineEdit_HumCalio", "pushButton_HumCali", "45.5", "21520501C7C0");
    row("oil is 0x61", "lineEdit_OilCali", "pushButton_OilCali", "2.3", "216105001762");
}

void TestCommands::calibrationPacks()
{
    QFETCH(QString, edit);
    QFETCH(QString, button);
    QFETCH(QString, text);
    QFETCH(QByteArray, pack);

    WindowHarness harness;
    QVERIFY(harness.openUnit());
    harness.unit.setSilent(true);
    QPushButton *pressed = harness.button(qPrintable(button));
    harness.edit(qPrintable(edit))->setText(text);
    if (button == QLatin1String("pushButton_temCali"))
        QTest::ignoreMessage(QtDebugMsg, qPrintable('"' + pack.toHex().toUpper() + '"'));
    pressed->click();
    QVERIFY(!pressed->isEnabled());
    QTRY_COMPARE(calibrationPacksSent(harness), 1);
    QCOMPARE(harness.requests(quint8(pack.at(1))).first().bytes, pack);

    harness.unit.sendRaw(SensorProtocol::pack(quint8(pack.at(1)), "\x01"));
    QTRY_VERIFY(pressed->isEnabled());
    QVERIFY(harness.boxes.boxes().isEmpty());
}

void TestCommands::rejectedCalibrationInput_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("edit");
    QTest::addColumn<QString>("button");

    const QString invalid = QStringLiteral("请输入有效的标定值！");
    const QString outOfRange = QStringLiteral("标定值超出范围！");
    const auto row = [this](const char *name, const char *text, const QString &message,
                            const char *edit, const char *button) {
        QTest::newRow(name) << text << message << edit << button;
        lastRejectedInput = QLatin1String(name);
    };
    const auto oil = [&](const char *name, const char *text, const QString &message) {
        row(name, text, message, "lineEdit_OilCali", "pushButton_OilCali");
    };
    oil("empty", "", invalid);
    oil("6553.6", "6553.6", outOfRange);
    // Temperatures are signed words, humidity and pressure unsigned ones.
    row("temperature 3276.8", "3276.8", outOfRange, "lineEdit_TempCali", "pushButton_temCali");
    row("humidity -0.1", "-0.1", outOfRange, "lineEdit_HumCalio", "pushButton_HumCali");
}

void TestCommands::rejectedCalibrationInput()
{
    QFETCH(QString, text);
    QFETCH(QString, message);
    QFETCH(QString, edit);
    QFETCH(QString, button);

    if (!rejecting) {
        rejecting = std::make_unique<WindowHarness>();
        QVERIFY(rejecting->openUnit());
    }
    WindowHarness &harness = *rejecting;
    const int boxesBefore = harness.boxes.boxes().size();
    harness.edit(qPrintable(edit))->setText(text);
    harness.button(qPrintable(button))->click();

    QCOMPARE(harness.boxes.boxes().size(), boxesBefore + 1);
    const ModalBoxWatcher::Box box = harness.boxes.boxes().last();
    QCOMPARE(box.title, QStringLiteral("提示"));
    QCOMPARE(box.text, message);
    QCOMPARE(box.icon, QMessageBox::Warning);
    QVERIFY(!box.hasParent);
    QVERIFY(harness.button(qPrintable(button))->isEnabled());
    QCOMPARE(calibrationPacksSent(harness), 0);
    // Polling was not paused. Once paused it stays so until the unit answers a calibration, a
    // reset or a greeting, and after the opening none is sent: so the tick after the last row's
    // input shows that no row paused it.
    if (QTest::currentDataTag() == lastRejectedInput) {
        const qint64 rejectedAt = SimulatedUnit::clockMsecs();
        QTRY_VERIFY_WITH_TIMEOUT(harness.requests(0x50).size() > 0
                                     && harness.requests(0x50).last().msecs > rejectedAt,
                                 1500);
    }
}

void TestCommands::calibrationWhileClosed()
{
    WindowHarness harness;
    harness.edit("lineEdit_TempCali")->setText(QStringLiteral("23.5"));
    harness.button("pushButton_temCali")->click();
    QCOMPARE(harness.boxes.texts(), QStringList{QStringLiteral("请先打开串口！")});
    QCOMPARE(harness.boxes.boxes().first().title, QStringLiteral("提示"));
    QVERIFY(harness.button("pushButton_temCali")->isEnabled());

    // After the port is opened the same press goes out.
    QVERIFY(harness.openUnit());
    harness.button("pushButton_temCali")->click();
    QTRY_COMPARE(harness.requests(0x51).size(), 1);
    QCOMPARE(harness.requests(0x51).first().bytes, QByteArray::fromHex("21510500EB9E"));
}

void TestCommands::twoCalibrationsPending()
{
    WindowHarness harness;
    QVERIFY(harness.openUnit());
    harness.unit.setSilent(true);
    harness.edit("lineEdit_TempCali")->setText(QStringLiteral("23.5"));
    harness.edit("lineEdit_HumCalio")->setText(QStringLiteral("50"));
    harness.button("pushButton_temCali")->click();
    harness.button("pushButton_HumCali")->click();
    QTRY_COMPARE(calibrationPacksSent(harness), 2);
    QCOMPARE(harness.requests(0x52).first().bytes, QByteArray::fromHex("21520501F493"));
    QVERIFY(!harness.button("pushButton_temCali")->isEnabled());
    QVERIFY(!harness.button("pushButton_HumCali")->isEnabled());

    harness.unit.sendRaw(SensorProtocol::pack(0x52, "\x01"));
    QTRY_VERIFY(harness.button("pushButton_HumCali")->isEnabled());
    QVERIFY(!harness.button("pushButton_temCali")->isEnabled());
    QCOMPARE(harness.label("label_HumCali")->text(), QStringLiteral("标定成功"));
    QCOMPARE(harness.label("label_TemCali")->text(), QString());

    harness.unit.sendRaw(SensorProtocol::pack(0x51, QByteArray(1, '\0')));
    QTRY_VERIFY(harness.button("pushButton_temCali")->isEnabled());
    QCOMPARE(harness.label("label_TemCali")->text(), QStringLiteral("标定失败"));
}

void TestCommands::pendingCalibrationReleasedWithThePort_data()
{
    QTest::addColumn<bool>("lost");
    QTest::newRow("closed") << false;
    QTest::newRow("device lost") << true;
}

void TestCommands::pendingCalibrationReleasedWithThePort()
{
    QFETCH(bool, lost);

    WindowHarness harness;
    QVERIFY(harness.openUnit());
    harness.unit.setSilent(true);
    harness.label("label_HumCali")->setText(QStringLiteral("标定成功"));
    harness.edit("lineEdit_HumCalio")->setText(QStringLiteral("50"));
    QPushButton *pressed = harness.button("pushButton_HumCali");
    pressed->click();
    QTRY_COMPARE(harness.requests(0x52).size(), 1);
    // A silent unit on an open port keeps the button waiting.
    QTest::qWait(300);
    QVERIFY(!pressed->isEnabled());

    if (lost)
        harness.unit.hangUp();
    else
        harness.button("pushButton_CloseCom")->click();
    QTRY_VERIFY(pressed->isEnabled());
    QCOMPARE(harness.label("label_HumCali")->text(), QStringLiteral("标定成功"));
}

void TestCommands::factoryResetCancelled()
{
    WindowHarness harness;
    QVERIFY(harness.openUnit());
    harness.boxes.setAnswer(QStringLiteral("取消"));
    harness.button("pushButton_reFactory")->click();
    QCOMPARE(harness.boxes.boxes().size(), 1);
    const ModalBoxWatcher::Box box = harness.boxes.boxes().first();
    QCOMPARE(box.title, QStringLiteral("警告"));
    QCOMPARE(box.text, QStringLiteral("确定要恢复出厂设置？"));
    QCOMPARE(box.icon, QMessageBox::NoIcon);
    QCOMPARE(QSet<QString>(box.buttons.begin(), box.buttons.end()),
             (QSet<QString>{QStringLiteral("确定"), QStringLiteral("取消")}));
    QVERIFY(!box.hasParent);
    QTest::qWait(2500);
    QCOMPARE(harness.boxes.boxes().size(), 1);
    QCOMPARE(harness.requests(0x56).size(), 0);
}

void TestCommands::factoryReset_data()
{
    QTest::addColumn<bool>("portOpen");
    QTest::addColumn<bool>("unitAnswers");
    QTest::addColumn<QString>("verdict");

    QTest::newRow("answered") << true << true << QStringLiteral("恢复出厂设置：成功！");
    QTest::newRow("no answer") << true << false << QStringLiteral("恢复出厂设置：失败！");
    QTest::newRow("port closed") << false << false << QStringLiteral("恢复出厂设置：失败！");
}

void TestCommands::factoryReset()
{
    QFETCH(bool, portOpen);
    QFETCH(bool, unitAnswers);
    QFETCH(QString, verdict);

    WindowHarness harness;
    if (portOpen)
        QVERIFY(harness.openUnit());
    harness.unit.setReading(SimulatedUnit::Humidity, 777);
    harness.unit.setSilent(!unitAnswers);
    harness.boxes.setAnswer(QStringLiteral("确定"));
    QElapsedTimer sincePress;
    sincePress.start();
    harness.button("pushButton_reFactory")->click();
    // Until the verdict is shown and the window's check, 2000 ms after the press, has gone by.
    QTRY_VERIFY_WITH_TIMEOUT(harness.boxes.boxes().size() >= 2 && sincePress.elapsed() >= 2500,
                             5000);

    QCOMPARE(harness.boxes.texts(), (QStringList{QStringLiteral("确定要恢复出厂设置？"), verdict}));
    const ModalBoxWatcher::Box result = harness.boxes.boxes().at(1);
    QCOMPARE(result.title, QStringLiteral("提示"));
    QCOMPARE(result.icon, QMessageBox::Information);
    QVERIFY(!result.hasParent);
    QCOMPARE(harness.requests(0x56).size(), portOpen ? 1 : 0);
    if (portOpen)
        QCOMPARE(harness.requests(0x56).first().bytes, QByteArray::fromHex("21560386"));
    if (unitAnswers) {
        QCOMPARE(harness.unit.reading(SimulatedUnit::Humidity),
                 SimulatedUnit::factoryReading(SimulatedUnit::Humidity));
    } else {
        const qint64 after = result.shownAt - sincePress.msecsSinceReference();
        QVERIFY2(after >= 1800 && after <= 2700, qPrintable(QString::number(after)));
    }
}

void TestCommands::openFailures_data()
{
    QTest::addColumn<bool>("alreadyOpen");
    QTest::newRow("empty list") << false;
    QTest::newRow("already open") << true;
}

void TestCommands::openFailures()
{
    QFETCH(bool, alreadyOpen);

    WindowHarness harness;
    if (alreadyOpen) {
        // Unanswered, so the open button stays enabled.
        harness.unit.setSilent(true);
        harness.comboBox()->addItem(harness.unit.portName());
        harness.button("pushButton_OpenCom")->click();
        QTRY_COMPARE(harness.requests(0x63).size(), 1);
    }
    QVERIFY(harness.boxes.boxes().isEmpty());
    harness.button("pushButton_OpenCom")->click();

    QCOMPARE(harness.boxes.texts(), QStringList{QStringLiteral("串口打开失败，请重新选择！")});
    QCOMPARE(harness.boxes.boxes().first().title, QStringLiteral("提示"));
    QCOMPARE(harness.boxes.boxes().first().icon, QMessageBox::Warning);
    if (alreadyOpen) {
        // The port is still open: a calibration goes out.
        harness.edit("lineEdit_TempCali")->setText(QStringLiteral("23.5"));
        harness.button("pushButton_temCali")->click();
        QTRY_COMPARE(harness.requests(0x51).size(), 1);
        QCOMPARE(harness.boxes.boxes().size(), 1);
    }
}

void TestCommands::lostDevice()
{
    // Lost as soon as the answered greeting has started the polling.
    WindowHarness harness;
    QVERIFY(harness.openUnit());
    harness.unit.hangUp();
    QTRY_COMPARE(harness.boxes.texts(), QStringList{QStringLiteral("串口连接已断开！")});
    QCOMPARE(harness.boxes.boxes().first().title, QStringLiteral("提示"));
    QCOMPARE(harness.boxes.boxes().first().icon, QMessageBox::Warning);
    QVERIFY(harness.button("pushButton_OpenCom")->isEnabled());
    QTest::qWait(1500);
    QCOMPARE(harness.boxes.boxes().size(), 1);
}

QTEST_MAIN(TestCommands)
#include "tst_commands.moc"
