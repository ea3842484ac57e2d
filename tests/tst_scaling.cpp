#include "highdpi.h"
#include "mainwindow.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>
#include <QTemporaryDir>
#include <QtTest>

// Each scale needs a process of its own: the scaling is settled before the application object
// exists. The test starts a virtual X server at the scale's DPI and runs itself there as the
// program starts, with this variable set, to measure the window.
static const char kMeasureVariable[] = "CORVANE_MEASURE_SCALING";

namespace {

// The names of the widgets whose text needs more room than the widget gives it, and the
// window's size in device pixels.
QStringList measureWindow(const QWidget &window)
{
    QStringList lines;
    const qreal ratio = window.devicePixelRatioF();
    lines << QStringLiteral("size %1x%2 ratio %3")
                 .arg(qRound(window.width() * ratio))
                 .arg(qRound(window.height() * ratio))
                 .arg(ratio);
    const auto check = [&lines](const QWidget *widget, const QString &text, const QRect &room) {
        const QFontMetrics metrics(widget->font());
        if (metrics.horizontalAdvance(text) > room.width() || metrics.height() > room.height())
            lines << QStringLiteral("clipped %1 \"%2\"").arg(widget->objectName(), text);
    };
    for (const QPushButton *button : window.findChildren<QPushButton *>()) {
        QStyleOptionButton option;
        option.initFrom(button);
        option.text = button->text();
        check(button, button->text(),
              button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button));
    }
    for (const QLabel *label : window.findChildren<QLabel *>())
        check(label, label->text(), label->contentsRect());
    // The list shows a port name; a USB adapter's is among the longest an operator sees.
    for (const QComboBox *combo : window.findChildren<QComboBox *>()) {
        QStyleOptionComboBox option;
        option.initFrom(combo);
        option.currentText = QStringLiteral("ttyUSB0");
        check(combo, option.currentText,
              combo->style()->subControlRect(QStyle::CC_ComboBox, &option,
                                             QStyle::SC_ComboBoxEditField, combo));
    }
    return lines;
}

int measure(int argc, char *argv[])
{
    enableHighDpiScaling();
    QApplication app(argc, argv);
    MainWindow window;
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return 1;
    QTextStream(stdout) << measureWindow(window).join(QLatin1Char('\n')) << '\n';
    return 0;
}

} // namespace

class TestScaling : public QObject
{
    Q_OBJECT

private slots:
    void textsFitAtEveryScale_data();
    void textsFitAtEveryScale();
};

void TestScaling::textsFitAtEveryScale_data()
{
    QTest::addColumn<int>("dpi");
    // An operator's own scaling, which wins over the desktop's.
    QTest::addColumn<QString>("scaleFactor");
    QTest::addColumn<double>("ratio");
    QTest::newRow("100 %") << 96 << QString() << 1.0;
    QTest::newRow("125 %") << 120 << QString() << 1.25;
    QTest::newRow("150 %") << 144 << QString() << 1.5;
    QTest::newRow("200 %") << 192 << QString() << 2.0;
    QTest::newRow("100 %, QT_SCALE_FACTOR=2") << 96 << QStringLiteral("2") << 2.0;
}

void TestScaling::textsFitAtEveryScale()
{
    QFETCH(int, dpi);
    QFETCH(QString, scaleFactor);
    QFETCH(double, ratio);
    // A desktop's scaling reaches the program as the screen's DPI and the Xft.dpi resource.
    QTemporaryDir scratch;
    QVERIFY(scratch.isValid());
    QProcess server;
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.start(QStringLiteral("Xvfb"),
                 {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                  QStringLiteral("0"), QStringLiteral("2560x1600x24"), QStringLiteral("-dpi"),
                  QString::number(dpi), QStringLiteral("-nolisten"), QStringLiteral("tcp"),
                  QStringLiteral("-noreset")});
    QVERIFY2(server.waitForStarted(), "Xvfb is missing");
    QVERIFY(QTest::qWaitFor([&] { return server.canReadLine(); }, 10000));
    const QString display = QLatin1Char(':') + QString::fromLatin1(server.readLine().trimmed());

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"QT_SCALE_FACTOR", "QT_SCREEN_SCALE_FACTORS", "QT_FONT_DPI",
                             "QT_ENABLE_HIGHDPI_SCALING", "QT_AUTO_SCREEN_SCALE_FACTOR"})
        environment.remove(QLatin1String(name));
    environment.insert(QStringLiteral("DISPLAY"), display);
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    QProcess resources;
    resources.setProcessEnvironment(environment);
    resources.start(QStringLiteral("xrdb"), {QStringLiteral("-merge")});
    resources.write(QStringLiteral("Xft.dpi: %1\n").arg(dpi).toLatin1());
    resources.closeWriteChannel();
    QVERIFY2(resources.waitForFinished() && resources.exitCode() == 0, "xrdb failed");

    QProcess program;
    environment.insert(QLatin1String(kMeasureVariable), QStringLiteral("1"));
    // Under the sanitizers: the X platform's libraries (D-Bus, the GL driver it probes) keep
    // what they allocate until the process ends; the offscreen suites look for the window's leaks.
    environment.insert(QStringLiteral("ASAN_OPTIONS"),
                       environment.value(QStringLiteral("ASAN_OPTIONS"))
                           + QStringLiteral(":detect_leaks=0"));
    if (!scaleFactor.isEmpty())
        environment.insert(QStringLiteral("QT_SCALE_FACTOR"), scaleFactor);
    program.setProcessEnvironment(environment);
    program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    program.start(QCoreApplication::applicationFilePath(), QStringList());
    QVERIFY(program.waitForFinished(30000));
    server.terminate();
    server.waitForFinished();
    QCOMPARE(program.exitCode(), 0);

    QStringList lines = QString::fromUtf8(program.readAllStandardOutput())
                            .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QVERIFY(!lines.isEmpty());
    const QString size = lines.takeFirst();
    qInfo("%s", qPrintable(size));
    QVERIFY2(lines.isEmpty(), qPrintable(lines.join(QLatin1String("; "))));
    // The whole window scales, by the screen's own factor.
    QVERIFY2(size.endsWith(QStringLiteral(" ratio %1").arg(ratio)), qPrintable(size));
}

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsSet(kMeasureVariable))
        return measure(argc, argv);
    QCoreApplication app(argc, argv);
    TestScaling test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_scaling.moc"
