#include "mainwindow.h"

#include <QDebug>

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
