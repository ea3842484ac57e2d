#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QByteArray>
#include <QMainWindow>

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    using QMainWindow::QMainWindow;

    // A value request: 21, command, 05, the value's low 16 bits high byte first, checksum.
    static QByteArray buildPack(const QByteArray &command, int value);
    // The byte that makes the sum of all bytes of a pack 0 mod 256.
    static char packChecksum(const QByteArray &bytes);
};

#endif // MAINWINDOW_H
