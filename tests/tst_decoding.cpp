#include "sensorprotocol.h"
#include "windowharness.h"

#include <QtTest>

// The measured-value labels hold this until an answer writes them.
static const QString kUntouched = QStringLiteral("untouched");

// A pack of the command carrying the payload written as hex digits.
static QByteArray packWith(quint8 command, const char *payloadHex)
{
    return SensorProtocol::pack(command, QByteArray::fromHex(payloadHex));
}

class TestDecoding : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void measurements_data();
    void measurements();
    void calibrationResults_data();
    void calibrationResults();
    void connectionCheckDisablesOpen();
    void factoryResetAnswerShowsSuccessEachTime();
    void ignoredPacksChangeNothing_data();
    void ignoredPacksChangeNothing();
};

void TestDecoding::initTestCase()
{
    // A locale with a decimal comma must not leak into the readings.
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
}

void TestDecoding::measurements_data()
{
    QTest::addColumn<QByteArray>("pack");
    QTest::addColumn<QStringList>("labels");

    const QString same = kUntouched;
    QTest::newRow("0x60 worked example")
        << QByteArray::fromHex("21600B00FD01C803F5FF9C1B")
        << QStringList{"25.30℃", "45.60%RH", "101.30kPa", "-10.00℃"};
    QTest::newRow("0x50 leaves oil") << QByteArray::fromHex("21500900FD01C803F5C8")
                                     << QStringList{"25.30℃", "45.60%RH", "101.30kPa", same};
    QTest::newRow("0x50 without payload")
        << QByteArray::fromHex("2150038C") << QStringList{"0.00℃", "0.00%RH", "0.00kPa", same};
    QTest::newRow("short 0x60 zeroes oil")
        << packWith(0x60, "00FD01C8") << QStringList{"25.30℃", "45.60%RH", "0.00kPa", "0.00℃"};
}

void TestDecoding::measurements()
{
    QFETCH(QByteArray, pack);
    QFETCH(QStringList, labels);

    WindowHarness harness;
    const char *names[] = {"label_TemMeasure", "label_HumMeasure", "label_AtmMeasure",
                           "label_OilMeasure"};
    for (const char *name : names)
        harness.label(name)->setText(kUntouched);
    harness.decode(pack);
    for (int i = 0; i < 4; ++i)
        QCOMPARE(harness.label(names[i])->text(), labels.at(i));
    QVERIFY(harness.boxes.boxes().isEmpty());
}

void TestDecoding::calibrationResults_data()
{
    QTest::addColumn<QByteArray>("pack");
    QTest::addColumn<QString>("resultLabel");
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("verdict");

    const QString failed = QStringLiteral("标定失败");
    const QString succeeded = QStringLiteral("标定成功");
    QTest::newRow("temperature") << QByteArray::fromHex("2151040189") << "label_TemCali"
                                 << "pushButton_temCali" << succeeded;
    QTest::newRow("humidity") << packWith(0x52, "01") << "label_HumCali"
                              << "pushButton_HumCali" << succeeded;
    QTest::newRow("pressure") << packWith(0x53, "00") << "label_AtmCali"
                              << "pushButton_AtmCali" << failed;
    QTest::newRow("oil is 0x61") << packWith(0x61, "01") << "label_OilCali"
                                 << "pushButton_OilCali" << succeeded;
}

void TestDecoding::calibrationResults()
{
    QFETCH(QByteArray, pack);
    QFETCH(QString, resultLabel);
    QFETCH(QString, button);
    QFETCH(QString, verdict);

    WindowHarness harness;
    const QList<QPushButton *> buttons = harness.window.findChildren<QPushButton *>();
    for (QPushButton *each : buttons)
        each->setEnabled(false);
    harness.decode(pack);

    const QList<QLabel *> labels =
        harness.window.findChildren<QLabel *>(QRegularExpression(QStringLiteral("Cali$")));
    QCOMPARE(labels.size(), 4);
    for (QLabel *label : labels)
        QCOMPARE(label->text(), label->objectName() == resultLabel ? verdict : QString());
    for (QPushButton *each : buttons)
        QCOMPARE(each->isEnabled(), each->objectName() == button);
}

void TestDecoding::connectionCheckDisablesOpen()
{
    WindowHarness harness;
    harness.decode(SensorProtocol::pack(0x63));
    QVERIFY(!harness.button("pushButton_OpenCom")->isEnabled());
    QVERIFY(harness.button("pushButton_CloseCom")->isEnabled());
    QVERIFY(harness.boxes.boxes().isEmpty());
}

void TestDecoding::factoryResetAnswerShowsSuccessEachTime()
{
    WindowHarness harness;
    harness.decode(SensorProtocol::pack(0x56));
    harness.decode(packWith(0x56, "00"));
    QCOMPARE(harness.boxes.boxes().size(), 2);
    for (const ModalBoxWatcher::Box &box : harness.boxes.boxes()) {
        QCOMPARE(box.title, QStringLiteral("提示"));
        QCOMPARE(box.text, QStringLiteral("恢复出厂设置：成功！"));
        QCOMPARE(box.icon, QMessageBox::Information);
        QCOMPARE(box.buttons.size(), 1);
        QVERIFY(!box.hasParent);
    }
}

void TestDecoding::ignoredPacksChangeNothing_data()
{
    QTest::addColumn<QByteArray>("pack");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("start byte only") << QByteArray::fromHex("21");
    QTest::newRow("unknown command 0x70") << QByteArray::fromHex("2170036C");
    QTest::newRow("no 0x54 command") << packWith(0x54, "01");
}

void TestDecoding::ignoredPacksChangeNothing()
{
    QFETCH(QByteArray, pack);
    WindowHarness harness;
    const QList<QLabel *> labels = harness.window.findChildren<QLabel *>();
    QStringList before;
    for (QLabel *label : labels)
        before << label->text();
    harness.decode(pack);
    QStringList after;
    for (QLabel *label : labels)
        after << label->text();
    QCOMPARE(after, before);
    for (QPushButton *button : harness.window.findChildren<QPushButton *>())
        QVERIFY(button->isEnabled());
    QTest::qWait(50);
    QVERIFY(harness.boxes.boxes().isEmpty());
}

QTEST_MAIN(TestDecoding)
#include "tst_decoding.moc"
