#ifndef SERIALCOMMON_H
#define SERIALCOMMON_H

#include "packframer.h"

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QStringList>
#include <QTimer>

// The serial link: owns the one port, greets the unit on open, writes packs and cuts the
// received byte stream into packs, dropping what is not a whole and right pack.
class SerialCommon : public QObject
{
    Q_OBJECT

public:
    explicit SerialCommon(QObject *parent = nullptr);
    ~SerialCommon() override;

    void openPort(const QString &portName);
    void closePort();
    bool isPortOpen() const;
    // Why the port last failed (to open, or on the line), in the platform's words.
    QString portError() const;

    // Takes in bytes as they came off the line and hands on every pack they complete. The
    // port's arrivals come this way; recorded traffic can be replayed through it.
    void receiveBytes(const QByteArray &bytes);

    // The names of the ports that pass a test open, in the platform's enumeration order.
    QStringList scanPorts();
    // The test open itself, for ports given by device path; scanPorts() feeds it the
    // enumerated ports. Pseudo-terminals, which are never enumerated, reach it only here.
    static QStringList probePorts(const QStringList &systemLocations);

    // The trace lines of the line and the packs put on it, on unless the logging rules turn
    // corvane.link off.
    static bool traceEnabled();

signals:
    void openSerialPort(bool ret);
    void sendParsePack(QByteArray pack);
    void serialPortLost();

public slots:
    void onReadyRead();
    void onSendToSerialPort(QByteArray byte);

private:
    void parseBuffer();
    void onLineIdle();
    void onPortError(QSerialPort::SerialPortError error);
    void dropLostPort();

    QSerialPort *serialPort;
    PackFramer receiveBuffer;
    // Runs only while an incomplete pack waits for its remaining bytes.
    QTimer lineIdleTimer;
    bool lostPending = false;
};

#endif // SERIALCOMMON_H
