#ifndef BARECUTTER_H
#define BARECUTTER_H

#include "packframer.h"

#include <QByteArray>
#include <QObject>

// The reference for the link's cutting: the same framing and the same signal, without the link's
// trace, port and idle timer.
class BareCutter : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    void receiveBytes(const QByteArray &bytes);

signals:
    void packCut(QByteArray pack);

private:
    PackFramer framer;
};

#endif // BARECUTTER_H
