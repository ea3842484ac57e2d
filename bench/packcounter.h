#ifndef PACKCOUNTER_H
#define PACKCOUNTER_H

#include <QByteArray>
#include <QObject>

// Receives cut packs and only counts them and their bytes.
class PackCounter : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    qint64 packs = 0;
    qint64 bytes = 0;

public slots:
    void take(const QByteArray &pack);
};

#endif // PACKCOUNTER_H
