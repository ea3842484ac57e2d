#ifndef CALIBRATION_H
#define CALIBRATION_H

#include "sensorprotocol.h"

#include <QByteArray>
#include <QJsonValue>
#include <QString>

class LineOutput;
class UnitSession;

// The calibrate command: the as-found reading, the calibration, the as-left reading, and the
// record of all three that a calibration lab keeps.
class Calibration
{
public:
    struct Options
    {
        QString port; // empty: the one port where the unit answers
        bool allPorts = false; // searched for on every listed port, not only USB adapters
        QString channel;
        QString reference; // as typed
        QString recordPath;
        QString operatorName;
        QString referenceId;
        double settleSecs = 0; // 0: the mean of three samples
        double toleranceTenths = 0;
        double settleTimeoutSecs = 0;
    };

    explicit Calibration(const Options &options);
    // The exit code. Nothing goes to the unit or the record before the arguments, the record
    // file, the port and the as-found reading are all right; once the calibration went out its
    // record is written whatever happens, a signal included.
    int run();

private:
    struct Reading
    {
        int exit;
        QJsonValue summary; // mean, spread, samples; null when the reading failed
        QByteArray lastPayload;
    };
    Reading takeReading(UnitSession &session, const char *which);
    // The record to the file (synced) and stdout, else stderr: the exit code, CannotWrite when
    // any of them failed.
    int writeRecord(const QByteArray &line, LineOutput &record, int exit);

    const Options options;
    SensorProtocol::Field field = SensorProtocol::AirTemperature;
};

#endif // CALIBRATION_H
