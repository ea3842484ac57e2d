#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QByteArray>
#include <QMainWindow>

class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;
class SerialCommon;

namespace Ui {
class MainWindowForm;
}

// Calls go down, signals come up: the window calls the link (openPort, closePort, scanPorts) and
// hands it packs through sendSerialPortPack, a direct connection; the link answers only with its
// signals (sendParsePack, openSerialPort, serialPortLost). Two event loops run inside a receiver of
// sendParsePack or beside it, the polling tick's 50 ms wait and the factory-reset success box;
// they keep receiving because the link takes readyRead queued and cuts each pack out of its buffer
// before emitting it (SerialCommon::parseBuffer).
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // A value request: 21, command, 05, the value's low 16 bits high byte first, checksum.
    static QByteArray buildPack(const QByteArray &command, int value);
    // The byte that makes the sum of all bytes of a pack 0 mod 256.
    static char packChecksum(const QByteArray &bytes);
    // A field whose hex text begins with F, read as two's complement over its own width.
    static int negativeFromHex(const QByteArray &hexText);

signals:
    void sendSerialPortPack(QByteArray pack);

protected:
    void showEvent(QShowEvent *event) override;

private slots:
    void onPushButton_Clicked();
    void onOpenSerialPort(bool ret);
    void onSendParsePack(QByteArray pack);
    void onSerialPortLost();

private:
    void refreshPortList();
    void pollMeasurements();
    void checkFactoryReset();
    void calibrate(QLineEdit *edit, QPushButton *button, const QByteArray &command);
    void confirmFactoryReset();
    void showMeasurements(const QByteArray &payload, int fieldCount);
    void showCalibrationResult(const QByteArray &pack, QLabel *resultLabel, QWidget *button);
    void startPolling();
    void releaseCalibrations();

    bool factoryResetOk;
    QTimer *pollTimer;
    SerialCommon *serial;
    Ui::MainWindowForm *form;
};

#endif // MAINWINDOW_H
