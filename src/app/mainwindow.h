#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QByteArray>
#include <QMainWindow>

class QTimer;
class SerialCommon;

namespace Ui {
class MainWindowForm;
}

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

signals:
    void sendSerialPortPack(QByteArray pack);

protected:
    void showEvent(QShowEvent *event) override;

private slots:
    void onPushButton_Clicked();
    void onOpenSerialPort(bool ret);
    void onSendParsePack(QByteArray pack);

private:
    void pollMeasurements();

    bool factoryResetOk;
    QTimer *pollTimer;
    SerialCommon *serial;
    Ui::MainWindowForm *form;
};

#endif // MAINWINDOW_H
