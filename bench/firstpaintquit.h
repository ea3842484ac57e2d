#ifndef FIRSTPAINTQUIT_H
#define FIRSTPAINTQUIT_H

#include <QObject>

// Watches every event of the application and quits its event loop once the first paint of a
// top-level window has been delivered.
class FirstPaintQuit : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    bool seen = false;
};

#endif // FIRSTPAINTQUIT_H
