#ifndef SERIALCOMMON_H
#define SERIALCOMMON_H

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QStringList>

// The serial link: owns the one port, greets the unit on open, writes packs and cuts the
// received byte stream into packs by their length byte.
class SerialCommon : public QObject
{
    Q_OBJECT

public:
    explicit SerialCommon(QObject *parent = nullptr);
    ~SerialCommon() override;

    void openPort(const QString &portName);
    void closePort();
    bool isPortOpen() const;

    // Takes in bytes as they came off the line and hands on every pack they complete. The
    // port's arrivals come this way; recorded traffic can be replayed through it.
    void receiveBytes(const QByteArray &bytes);

    // The names of the ports that pass a test open, in the platform's enumeration order.
    QStringList scanPorts();
    // The test open itself, for ports given by device path; scanPorts() feeds it the
    // enumerated ports. Pseudo-terminals, which are never enumerated, reach it only here.
    static QStringList probePorts(const QStringList &systemLocations);

signals:
    void openSerialPort(bool ret);
    void sendParsePack(QByteArray pack);
    void serialPortLost();

public slots:
    void onReadyRead();
    void onSendToSerialPort(QByteArray byte);

private:
    void parseBuffer();
    void onPortError(QSerialPort::SerialPortError error);
    void dropLostPort();

    QSerialPort *serialPort;
    QByteArray receiveBuffer;
    // Bytes at the front of receiveBuffer that are already cut; compacted once per run so that
    // a burst of many packs costs linear, not quadratic, time.
    int receiveOffset = 0;
    bool lostPending = false;
};

#endif // SERIALCOMMON_H
