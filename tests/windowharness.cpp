#include "windowharness.h"

#include "sensorprotocol.h"

#include <QTest>

WindowHarness::WindowHarness()
{
    unit.openPty();
}

QPushButton *WindowHarness::button(const char *name) const
{
    return widget<QPushButton>(name);
}

QLabel *WindowHarness::label(const char *name) const
{
    return widget<QLabel>(name);
}

QLineEdit *WindowHarness::edit(const char *name) const
{
    return widget<QLineEdit>(name);
}

QComboBox *WindowHarness::comboBox() const
{
    return widget<QComboBox>("comboBox");
}

bool WindowHarness::openUnit()
{
    comboBox()->insertItem(0, unit.portName());
    comboBox()->setCurrentIndex(0);
    button("pushButton_OpenCom")->click();
    return QTest::qWaitFor([this] { return !button("pushButton_OpenCom")->isEnabled(); }, 3000);
}

void WindowHarness::pollNow()
{
    emit window.sendSerialPortPack(SensorProtocol::pack(SensorProtocol::ReadAir));
    QTest::qWait(50);
    emit window.sendSerialPortPack(SensorProtocol::pack(SensorProtocol::ReadAll));
}

QList<SimulatedUnit::Frame> WindowHarness::requests(quint8 command) const
{
    QList<SimulatedUnit::Frame> result;
    const QList<SimulatedUnit::Frame> frames = unit.receivedFrames();
    for (const SimulatedUnit::Frame &frame : frames) {
        if (frame.bytes.size() > 1 && quint8(frame.bytes.at(1)) == command)
            result << frame;
    }
    return result;
}

QList<quint8> WindowHarness::commandsReceived() const
{
    QList<quint8> result;
    const QList<SimulatedUnit::Frame> frames = unit.receivedFrames();
    for (const SimulatedUnit::Frame &frame : frames)
        result << (frame.bytes.size() > 1 ? quint8(frame.bytes.at(1)) : 0);
    return result;
}

QStringList WindowHarness::measurements() const
{
    QStringList texts;
    for (const char *name :
         {"label_TemMeasure", "label_HumMeasure", "label_AtmMeasure", "label_OilMeasure"})
        texts << label(name)->text();
    return texts;
}

void WindowHarness::decode(const QByteArray &pack)
{
    QMetaObject::invokeMethod(&window, "onSendParsePack", Q_ARG(QByteArray, pack));
}
