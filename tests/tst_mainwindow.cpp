#include "mainwindow.h"

#include <QMetaMethod>
#include <QtTest>

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void titleReplacesTheFormTitle();
    void metaObjectTable_data();
    void metaObjectTable();
    void metaCastAnswersItsOwnName();
};

void TestMainWindow::titleReplacesTheFormTitle()
{
    MainWindow window;
    QCOMPARE(window.windowTitle(), QStringLiteral("Corvane"));
    QCOMPARE(window.objectName(), QStringLiteral("MainWindow"));
}

void TestMainWindow::metaObjectTable_data()
{
    QTest::addColumn<QByteArray>("signature");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("access");
    QTest::addColumn<QList<QByteArray>>("parameterNames");

    QTest::newRow("0") << QByteArray("sendSerialPortPack(QByteArray)") << int(QMetaMethod::Signal)
                       << int(QMetaMethod::Public) << QList<QByteArray>{"pack"};
    QTest::newRow("1") << QByteArray("onPushButton_Clicked()") << int(QMetaMethod::Slot)
                       << int(QMetaMethod::Private) << QList<QByteArray>{};
    QTest::newRow("2") << QByteArray("onOpenSerialPort(bool)") << int(QMetaMethod::Slot)
                       << int(QMetaMethod::Private) << QList<QByteArray>{"ret"};
    QTest::newRow("3") << QByteArray("onSendParsePack(QByteArray)") << int(QMetaMethod::Slot)
                       << int(QMetaMethod::Private) << QList<QByteArray>{"pack"};
    QTest::newRow("4") << QByteArray("onSerialPortLost()") << int(QMetaMethod::Slot)
                       << int(QMetaMethod::Private) << QList<QByteArray>{};
}

void TestMainWindow::metaObjectTable()
{
    QFETCH(QByteArray, signature);
    QFETCH(int, type);
    QFETCH(int, access);
    QFETCH(QList<QByteArray>, parameterNames);

    const QMetaObject &meta = MainWindow::staticMetaObject;
    QCOMPARE(meta.className(), "MainWindow");
    QCOMPARE(meta.superClass(), &QMainWindow::staticMetaObject);
    QCOMPARE(meta.propertyCount(), meta.propertyOffset());
    QCOMPARE(meta.enumeratorCount(), meta.enumeratorOffset());
    QCOMPARE(meta.classInfoCount(), meta.classInfoOffset());

    const int index = meta.methodOffset() + QString::fromLatin1(QTest::currentDataTag()).toInt();
    QVERIFY(index < meta.methodCount());
    const QMetaMethod method = meta.method(index);
    QCOMPARE(method.methodSignature(), signature);
    QCOMPARE(int(method.methodType()), type);
    QCOMPARE(int(method.access()), access);
    QCOMPARE(method.parameterNames(), parameterNames);
}

void TestMainWindow::metaCastAnswersItsOwnName()
{
    MainWindow window;
    QCOMPARE(window.qt_metacast("MainWindow"), static_cast<void *>(&window));
    QCOMPARE(window.qt_metacast("QMainWindow"),
             static_cast<void *>(static_cast<QMainWindow *>(&window)));
    QCOMPARE(window.qt_metacast("SerialCommon"), nullptr);
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
