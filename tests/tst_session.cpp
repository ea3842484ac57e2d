#include "sensorprotocol.h"
#include "serialcommon.h"
#include "windowharness.h"

#include <QtTest>

static QStringList itemsOf(const QComboBox *combo)
{
    QStringList items;
    for (int i = 0; i < combo->count(); ++i)
        items << combo->itemText(i);
    return items;
}

class TestSession : public QObject
{
    Q_OBJECT

private slots:
    void portListFollowsEveryShowEvent();
    void operatedLikeAPerson();
    void answersAreDecodedWhileTheSuccessBoxIsOpen();
};

void TestSession::portListFollowsEveryShowEvent()
{
    WindowHarness harness;
    QComboBox *combo = harness.comboBox();
    QCOMPARE(combo->count(), 0);
    for (int round = 0; round < 2; ++round) {
        // A marker item shows when the list is replaced.
        combo->clear();
        combo->addItem(QStringLiteral("stale"));
        QElapsedTimer sinceShow;
        sinceShow.start();
        harness.window.show();
        QTest::qWait(150);
        QCOMPARE(itemsOf(combo), QStringList{QStringLiteral("stale")});
        QVERIFY(
            QTest::qWaitFor([&] { return combo->findText(QStringLiteral("stale")) < 0; }, 3000));
        QVERIFY2(sinceShow.elapsed() >= 280, qPrintable(QString::number(sinceShow.elapsed())));
        QCOMPARE(itemsOf(combo), SerialCommon().scanPorts());
        QCOMPARE(combo->currentIndex(), combo->count() > 0 ? 0 : -1);
        harness.window.hide();
    }
}

void TestSession::operatedLikeAPerson()
{
    WindowHarness harness;
    // The list is refreshed once after the show, wiping what was put in before: a marker shows
    // when.
    harness.comboBox()->addItem(QStringLiteral("stale"));
    harness.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&harness.window));
    QTRY_VERIFY_WITH_TIMEOUT(harness.comboBox()->findText(QStringLiteral("stale")) < 0, 10000);
    // The platform never lists pseudo-terminals, so the unit's port is put into the list.
    harness.comboBox()->insertItem(0, harness.unit.portName());
    harness.comboBox()->setCurrentIndex(0);
    QTest::mouseClick(harness.button("pushButton_OpenCom"), Qt::LeftButton);
    QTRY_VERIFY(!harness.button("pushButton_OpenCom")->isEnabled());

    QTRY_COMPARE_WITH_TIMEOUT(harness.label("label_OilMeasure")->text(), QStringLiteral("40.20℃"),
                              2500);
    QCOMPARE(harness.label("label_TemMeasure")->text(), QStringLiteral("21.50℃"));
    QCOMPARE(harness.label("label_HumMeasure")->text(), QStringLiteral("45.30%RH"));
    QCOMPARE(harness.label("label_AtmMeasure")->text(), QStringLiteral("101.30kPa"));

    harness.unit.setReading(SimulatedUnit::AirTemperature, -123);
    QTRY_COMPARE_WITH_TIMEOUT(harness.label("label_TemMeasure")->text(), QStringLiteral("-12.30℃"),
                              2500);

    QTest::keyClicks(harness.edit("lineEdit_OilCali"), QStringLiteral("-35.5"));
    QTest::mouseClick(harness.button("pushButton_OilCali"), Qt::LeftButton);
    QTRY_COMPARE(harness.label("label_OilCali")->text(), QStringLiteral("标定成功"));
    QVERIFY(harness.button("pushButton_OilCali")->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(harness.label("label_OilMeasure")->text(), QStringLiteral("-35.50℃"),
                              2500);

    harness.boxes.setAnswer(QStringLiteral("确定"));
    QTest::mouseClick(harness.button("pushButton_reFactory"), Qt::LeftButton);
    QTRY_COMPARE(harness.boxes.texts(),
                 (QStringList{QStringLiteral("确定要恢复出厂设置？"),
                              QStringLiteral("恢复出厂设置：成功！")}));
    QTRY_COMPARE_WITH_TIMEOUT(harness.label("label_OilMeasure")->text(), QStringLiteral("40.20℃"),
                              2500);
    QCOMPARE(harness.label("label_TemMeasure")->text(), QStringLiteral("21.50℃"));

    QTest::mouseClick(harness.button("pushButton_CloseCom"), Qt::LeftButton);
    QVERIFY(harness.button("pushButton_OpenCom")->isEnabled());
    const int received = harness.unit.receivedFrames().size();
    QTest::qWait(2200);
    QCOMPARE(harness.unit.receivedFrames().size(), received);
    // No failure notice followed the answered reset.
    QCOMPARE(harness.boxes.boxes().size(), 2);
}

void TestSession::answersAreDecodedWhileTheSuccessBoxIsOpen()
{
    WindowHarness harness;
    QVERIFY(harness.openUnit());
    QString whileOpen;
    harness.boxes.setAction([&](QMessageBox *box) {
        harness.unit.sendRaw(SensorProtocol::pack(0x50, QByteArray::fromHex("00FD01C803F5")));
        if (QTest::qWaitFor([&] { return !harness.label("label_TemMeasure")->text().isEmpty(); },
                            2000))
            whileOpen = harness.label("label_TemMeasure")->text();
        ModalBoxWatcher::press(box, QString());
    });
    harness.unit.sendRaw(SensorProtocol::pack(0x56));
    QTRY_COMPARE(harness.boxes.boxes().size(), 1);
    QTRY_COMPARE(whileOpen, QStringLiteral("25.30℃"));
}

QTEST_MAIN(TestSession)
#include "tst_session.moc"
