#ifndef STAMPINGAPPLICATION_H
#define STAMPINGAPPLICATION_H

#include "stamplines.h"

#include <QApplication>

#include <cstdio>

class QLabel;

// An application that notes when watched labels have been painted: the stamp is taken when the
// outermost paint delivery (the window's update request, or its expose) has returned, that is
// after the label was drawn and the backing store handed to the platform.
class StampingApplication : public QApplication
{
public:
    StampingApplication(int &argc, char **argv);

    void watch(QLabel *label);
    // One paint record per stamp.
    void printStamps(std::FILE *out) const;

    bool notify(QObject *receiver, QEvent *event) override;

private:
    QVector<QLabel *> watched;
    QVector<StampLines::Paint> pending;
    QVector<StampLines::Paint> stamps;
    int paintDepth = 0;
};

#endif // STAMPINGAPPLICATION_H
