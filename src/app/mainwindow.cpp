#include "mainwindow.h"

#include "serialcommon.h"
#include "ui_mainwindowform.h"

#include <QDebug>
#include <QTimer>

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , form(new Ui::MainWindowForm)
{
    form->setupUi(this);
    setWindowTitle(QStringLiteral("Corvane"));
    factoryResetOk = false;
    pollTimer = new QTimer;
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
    connect(pollTimer, &QTimer::timeout, pollTimer, [this] { pollMeasurements(); },
            Qt::DirectConnection);
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
    QByteArray payload;
    payload.append(char((value >> 8) & 0xFF));
    payload.append(char(value & 0xFF));
    qDebug() << payload.toHex().toUpper();

    QByteArray pack;
    pack.append(char(0x21));
    pack.append(QByteArray::fromHex(command));
    pack.append(char(0x05));
    pack.append(payload);
    pack.append(packChecksum(pack));
    return pack;
}

char MainWindow::packChecksum(const QByteArray &bytes)
{
    quint8 sum = 0;
    for (const char byte : bytes)
        sum -= quint8(byte);
    return char(sum);
}

void MainWindow::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
}

void MainWindow::pollMeasurements()
{
}

void MainWindow::onPushButton_Clicked()
{
}

void MainWindow::onOpenSerialPort(bool)
{
}

void MainWindow::onSendParsePack(QByteArray)
{
}
