#ifndef CALIBRATIONSEQUENCE_H
#define CALIBRATIONSEQUENCE_H

#include "sensorprotocol.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

class UnitSession;

// A calibration as a lab does it, on a unit whose session is open: a reading of the channel
// before (as found), the calibration itself, and a reading after (as left). A reading is the
// mean of three samples, or with settling the samples of a window of S seconds once their
// spread is within the tolerance.
class CalibrationSequence : public QObject
{
    Q_OBJECT

public:
    struct Settling
    {
        double settleSecs = 0; // 0: the mean of three samples
        double toleranceTenths = 0;
        double settleTimeoutSecs = 0;
    };
    struct Reading
    {
        enum Result { Taken, CutShort, NoUnit, Unsettled };
        Result result = NoUnit;
        QList<int> tenths; // the samples it is made of, the channel's only
        int spreadTenths = 0; // of the last window, when Unsettled
        bool hasAnswer = false;
        SensorProtocol::Reading last; // the last answer's four fields
    };

    CalibrationSequence(UnitSession &session, SensorProtocol::Field field,
                        const Settling &settling);

    // Samples once a second until the reading is taken, the unit stops answering (three samples
    // in a row), it did not settle in time, or the session is interrupted (CutShort, with what
    // was taken before).
    Reading take(const QString &which);
    // Sends the calibration of the value in tenths: the unit's exact answer, empty when none.
    QByteArray calibrate(quint8 command, int tenths);
    // The largest minus the smallest.
    static int spreadOf(const QList<int> &tenths);

signals:
    void notice(const QString &text);
    // With settling, after every sample: how far the window is from settled.
    void spreadChanged(const QString &which, int spreadTenths, bool settled);

private:
    UnitSession &session;
    const SensorProtocol::Field field;
    const Settling settling;
};

#endif // CALIBRATIONSEQUENCE_H
