#include "mainwindow.h"

#include "alarmwatch.h"
#include "sensorprotocol.h"
#include "serialcommon.h"
#include "ui_mainwindowform.h"
#include "windowmemory.h"

#include <QDebug>
#include <QEventLoop>
#include <QMessageBox>
#include <QTimer>

namespace {

const char *const kPollRequest = "2150038C";
const char *const kPollOilRequest = "2160037C";
const char *const kFactoryResetRequest = "21560386";
const int kPollInterval = 1000;

QString formatTenths(int tenths, const QString &unit)
{
    const float value = tenths / 10.0f;
    // QString::number ignores the locale: always a full stop and no grouping.
    return QString::number(double(value), 'f', 2) + unit;
}

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , form(new Ui::MainWindowForm)
{
    form->setupUi(this);
    setWindowTitle(QStringLiteral("Corvane"));
    factoryResetOk = false;
    pollTimer = new QTimer;
    // The unit is read once a second on the second, not within the 5 % a coarse timer allows.
    pollTimer->setTimerType(Qt::PreciseTimer);
    serial = new SerialCommon;

    connect(serial, &SerialCommon::sendParsePack, this, &MainWindow::onSendParsePack);
    connect(serial, &SerialCommon::openSerialPort, this, &MainWindow::onOpenSerialPort);
    connect(this, &MainWindow::sendSerialPortPack, serial, &SerialCommon::onSendToSerialPort,
            Qt::DirectConnection);
    for (QPushButton *button :
         {form->pushButton_OpenCom, form->pushButton_CloseCom, form->pushButton_temCali,
          form->pushButton_HumCali, form->pushButton_AtmCali, form->pushButton_OilCali,
          form->pushButton_reFactory})
        connect(button, &QPushButton::clicked, this, &MainWindow::onPushButton_Clicked);
    const auto poll = [this] { pollMeasurements(); };
    connect(pollTimer, &QTimer::timeout, pollTimer, poll, Qt::DirectConnection);
    connect(serial, &SerialCommon::serialPortLost, this, &MainWindow::onSerialPortLost);
    // The menu bar, the trend, recording and the alarms live around the form; the window owns
    // them.
    new AlarmWatch(this, serial, new WindowMemory(this, serial));
}

MainWindow::~MainWindow()
{
    delete form;
    delete pollTimer;
    // Closes the port, so that its lock is gone before the process ends.
    delete serial;
}

QByteArray MainWindow::buildPack(const QByteArray &command, int value)
{
    const QByteArray payload = SensorProtocol::valuePayload(value);
    if (SerialCommon::traceEnabled())
        qDebug() << payload.toHex().toUpper();
    return SensorProtocol::pack(quint8(QByteArray::fromHex(command).at(0)), payload);
}

char MainWindow::packChecksum(const QByteArray &bytes)
{
    return SensorProtocol::checksum(bytes);
}

int MainWindow::negativeFromHex(const QByteArray &hexText)
{
    return SensorProtocol::fieldTenths(QByteArray::fromHex(hexText), true);
}

void MainWindow::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    QTimer::singleShot(300, Qt::PreciseTimer, this, &MainWindow::refreshPortList);
}

void MainWindow::refreshPortList()
{
    // Scan before clearing, so that the old list stays visible while the ports are probed.
    const QStringList names = serial->scanPorts();
    form->comboBox->clear();
    form->comboBox->insertItems(form->comboBox->count(), names);
}

void MainWindow::pollMeasurements()
{
    emit sendSerialPortPack(QByteArray::fromHex(kPollRequest));
    {
        QEventLoop loop;
        QTimer timer;
        connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        timer.start(50);
        loop.exec();
    }
    emit sendSerialPortPack(QByteArray::fromHex(kPollOilRequest));
}

void MainWindow::onPushButton_Clicked()
{
    auto *button = qobject_cast<QPushButton *>(sender());
    if (!button)
        return;
    const QString name = button->objectName();
    if (name == QLatin1String("pushButton_OpenCom")) {
        serial->openPort(form->comboBox->currentText());
    } else if (name == QLatin1String("pushButton_CloseCom")) {
        serial->closePort();
        form->pushButton_OpenCom->setEnabled(true);
        releaseCalibrations();
    } else if (name == QLatin1String("pushButton_temCali")) {
        calibrate(form->lineEdit_TempCali, form->pushButton_temCali, "51");
    } else if (name == QLatin1String("pushButton_HumCali")) {
        calibrate(form->lineEdit_HumCalio, form->pushButton_HumCali, "52");
    } else if (name == QLatin1String("pushButton_AtmCali")) {
        calibrate(form->lineEdit_AtmCali, form->pushButton_AtmCali, "53");
    } else if (name == QLatin1String("pushButton_OilCali")) {
        calibrate(form->lineEdit_OilCali, form->pushButton_OilCali, "61");
    } else if (name == QLatin1String("pushButton_reFactory")) {
        confirmFactoryReset();
    }
}

void MainWindow::calibrate(QLineEdit *edit, QPushButton *button, const QByteArray &command)
{
    // Nothing may reach the unit that the operator did not type, and the button must not lock
    // waiting for an answer that cannot come.
    if (!serial->isPortOpen()) {
        QMessageBox::warning(nullptr, QStringLiteral("提示"), QStringLiteral("请先打开串口！"));
        return;
    }
    const SensorProtocol::CalibrationValue value =
        SensorProtocol::calibrationValue(edit->text(), quint8(QByteArray::fromHex(command).at(0)));
    if (value.verdict == SensorProtocol::CalibrationValue::NotANumber) {
        QMessageBox::warning(nullptr, QStringLiteral("提示"),
                             QStringLiteral("请输入有效的标定值！"));
        return;
    }
    if (value.verdict == SensorProtocol::CalibrationValue::OutOfRange) {
        QMessageBox::warning(nullptr, QStringLiteral("提示"), QStringLiteral("标定值超出范围！"));
        return;
    }

    if (pollTimer->isActive())
        pollTimer->stop();
    button->setEnabled(false);
    const QByteArray pack = buildPack(command, value.tenths);
    if (command == "51" && SerialCommon::traceEnabled())
        qDebug() << pack.toHex().toUpper();
    emit sendSerialPortPack(pack);
}

void MainWindow::confirmFactoryReset()
{
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("警告"),
                    QStringLiteral("确定要恢复出厂设置？"), QMessageBox::Yes | QMessageBox::No);
    box.button(QMessageBox::Yes)->setText(QStringLiteral("确定"));
    box.button(QMessageBox::No)->setText(QStringLiteral("取消"));
    if (box.exec() != QMessageBox::Yes)
        return;
    factoryResetOk = false;
    emit sendSerialPortPack(QByteArray::fromHex(kFactoryResetRequest));
    QTimer::singleShot(2000, this, &MainWindow::checkFactoryReset);
}

void MainWindow::checkFactoryReset()
{
    if (!factoryResetOk)
        QMessageBox::information(nullptr, QStringLiteral("提示"),
                                 QStringLiteral("恢复出厂设置：失败！"));
}

void MainWindow::onOpenSerialPort(bool ret)
{
    if (!ret)
        QMessageBox::warning(nullptr, QStringLiteral("提示"),
                             QStringLiteral("串口打开失败，请重新选择！"));
}

void MainWindow::onSerialPortLost()
{
    form->pushButton_OpenCom->setEnabled(true);
    releaseCalibrations();
    QMessageBox::warning(nullptr, QStringLiteral("提示"), QStringLiteral("串口连接已断开！"));
}

void MainWindow::onSendParsePack(QByteArray pack)
{
    if (pack.size() < 2)
        return;
    const QByteArray payload = SensorProtocol::payload(pack);

    const QByteArray code = pack.mid(1, 1).toHex().toUpper();
    if (code == "50") {
        showMeasurements(payload, 3);
    } else if (code == "51") {
        showCalibrationResult(pack, form->label_TemCali, form->pushButton_temCali);
    } else if (code == "52") {
        showCalibrationResult(pack, form->label_HumCali, form->pushButton_HumCali);
    } else if (code == "53") {
        showCalibrationResult(pack, form->label_AtmCali, form->pushButton_AtmCali);
    } else if (code == "61") {
        showCalibrationResult(pack, form->label_OilCali, form->pushButton_OilCali);
    } else if (code == "56") {
        factoryResetOk = true;
        QMessageBox::information(nullptr, QStringLiteral("提示"),
                                 QStringLiteral("恢复出厂设置：成功！"));
        startPolling();
    } else if (code == "63") {
        form->pushButton_OpenCom->setEnabled(false);
        startPolling();
    } else if (code == "60") {
        showMeasurements(payload, 4);
    }
}

void MainWindow::showMeasurements(const QByteArray &payload, int fieldCount)
{
    struct Field
    {
        QLabel *label;
        QString unit;
    };
    const Field fields[] = {
        {form->label_TemMeasure, QStringLiteral("℃")},
        {form->label_HumMeasure, QStringLiteral("%RH")},
        {form->label_AtmMeasure, QStringLiteral("kPa")},
        {form->label_OilMeasure, QStringLiteral("℃")},
    };
    for (int i = 0; i < fieldCount; ++i) {
        const int tenths = SensorProtocol::measuredTenths(payload, SensorProtocol::Field(i));
        fields[i].label->setText(formatTenths(tenths, fields[i].unit));
    }
}

void MainWindow::showCalibrationResult(const QByteArray &pack, QLabel *resultLabel, QWidget *button)
{
    resultLabel->setText(SensorProtocol::calibrationSucceeded(pack) ? QStringLiteral("标定成功")
                                                                    : QStringLiteral("标定失败"));
    button->setEnabled(true);
    startPolling();
}

void MainWindow::releaseCalibrations()
{
    // Without a port no answer can come; a silent unit on an open port keeps them waiting.
    for (QPushButton *button : {form->pushButton_temCali, form->pushButton_HumCali,
                                form->pushButton_AtmCali, form->pushButton_OilCali})
        button->setEnabled(true);
}

void MainWindow::startPolling()
{
    // A running timer keeps its phase: the ticks stay one second apart.
    if (!pollTimer->isActive())
        pollTimer->start(kPollInterval);
}
