#ifndef BARECUTTER_H
#define BARECUTTER_H

#include <QByteArray>
#include <QObject>

// The reference for the link's cutting: the same rule (the length byte at position 2, a pack is
// its first length + 1 bytes) with the same buffer, offset and signal, and nothing else.
class BareCutter : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    void receiveBytes(const QByteArray &bytes);

signals:
    void packCut(QByteArray pack);

private:
    QByteArray buffer;
    int offset = 0;
};

#endif // BARECUTTER_H
