#include "calibrationsequence.h"

#include "unitsession.h"

#include <QDateTime>
#include <QElapsedTimer>

#include <algorithm>

namespace {
constexpr int AnswerTimeoutMsecs = 2000;
constexpr int SampleMsecs = 1000;
constexpr int PlainSamples = 3;
// A reading gives up when this many samples in a row get no intact answer.
constexpr int UnansweredLimit = 3;
} // namespace

CalibrationSequence::CalibrationSequence(UnitSession &session, SensorProtocol::Field field,
                                         const Settling &settling)
    : session(session)
    , field(field)
    , settling(settling)
{ }

int CalibrationSequence::spreadOf(const QList<int> &tenths)
{
    const auto [lowest, highest] = std::minmax_element(tenths.begin(), tenths.end());
    return *highest - *lowest;
}

QByteArray CalibrationSequence::calibrate(quint8 command, int tenths)
{
    return session.request(SensorProtocol::pack(command, SensorProtocol::valuePayload(tenths)),
                           command, AnswerTimeoutMsecs);
}

CalibrationSequence::Reading CalibrationSequence::take(const QString &which)
{
    const bool settles = settling.settleSecs > 0;
    const qint64 windowMsecs = qint64(settling.settleSecs * 1000);
    const qint64 giveUpMsecs = qint64(settling.settleTimeoutSecs * 1000);
    Reading reading;
    QList<qint64> dueAt; // when each sample was due, so that a window holds whole sample steps
    int unanswered = 0;
    QElapsedTimer clock;
    clock.start();
    for (qint64 due = 0;; due += SampleMsecs) {
        const bool paused = session.pause(int(due - clock.elapsed()));
        const QByteArray answer = paused
            ? session.request(SensorProtocol::pack(SensorProtocol::ReadAll),
                              SensorProtocol::ReadAll, SampleMsecs)
            : QByteArray();
        if (session.isInterrupted()) {
            reading.result = Reading::CutShort;
            return reading;
        }
        SensorProtocol::Reading sample;
        if (!SensorProtocol::readingOf(answer, QDateTime::currentDateTime(), &sample)) {
            if (session.isLost())
                return reading;
            emit notice(QStringLiteral("no intact answer to an %1 sample").arg(which));
            if (++unanswered < UnansweredLimit)
                continue;
            emit notice(QStringLiteral("the unit stopped answering"));
            return reading;
        }
        unanswered = 0;
        reading.hasAnswer = true;
        reading.last = sample;
        reading.tenths << sample.tenths[field];
        dueAt << due;
        if (!settles) {
            if (reading.tenths.size() == PlainSamples) {
                reading.result = Reading::Taken;
                return reading;
            }
            continue;
        }
        // The oldest sample kept is the newest one at least the settling time old.
        while (dueAt.size() > 1 && due - dueAt.at(1) >= windowMsecs) {
            dueAt.removeFirst();
            reading.tenths.removeFirst();
        }
        const bool windowFull = due - dueAt.first() >= windowMsecs;
        reading.spreadTenths = spreadOf(reading.tenths);
        const bool settled = windowFull && reading.spreadTenths <= settling.toleranceTenths + 1e-6;
        emit spreadChanged(which, reading.spreadTenths, settled);
        if (settled) {
            reading.result = Reading::Taken;
            return reading;
        }
        if (clock.elapsed() >= giveUpMsecs) {
            reading.result = Reading::Unsettled;
            return reading;
        }
    }
}
