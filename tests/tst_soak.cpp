#include "sensorprotocol.h"
#include "serialcommon.h"
#include "windowharness.h"

#include <QtTest>

#include <sys/resource.h>

static long peakRssKib()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// The fields of answer n carry n, so a lost, doubled, reordered or damaged answer shows.
// Temperatures stay out of 0x8000..0xEFFF, which the window does not read as negative.
static QList<int> fieldsOf(int n)
{
    return {n & 0x7FFF, n >> 15, (n * 7) & 0xFFFF, n % 8000 - 4000};
}

static QByteArray answerOf(int n)
{
    QByteArray payload;
    for (const int field : fieldsOf(n))
        payload.append(char((field >> 8) & 0xFF)).append(char(field & 0xFF));
    return SensorProtocol::pack(0x60, payload);
}

static QStringList textsOf(int n)
{
    const QList<int> fields = fieldsOf(n);
    const QStringList units{QStringLiteral("℃"), QStringLiteral("%RH"), QStringLiteral("kPa"),
                            QStringLiteral("℃")};
    QStringList texts;
    for (int i = 0; i < 4; ++i)
        texts << QString::number(fields.at(i) / 10.0, 'f', 2) + units.at(i);
    return texts;
}

class TestSoak : public QObject
{
    Q_OBJECT

private slots:
    void hundredThousandAnswers();
};

void TestSoak::hundredThousandAnswers()
{
    const int total = 100000;
    const int batch = 1000;
    const int warmUp = 5000;

    // The link cuts, the real window decodes each pack as it would from its own link.
    WindowHarness harness;
    harness.unit.setSilent(true);
    SerialCommon link;
    link.openPort(harness.unit.portName());
    QVERIFY(link.isPortOpen());
    QTRY_COMPARE(harness.unit.receivedFrames().size(), 1);

    int decoded = 0;
    int target = 0;
    int firstWrongPack = -1;
    int firstWrongText = -1;
    QEventLoop drained;
    connect(&link, &SerialCommon::sendParsePack, this, [&](const QByteArray &pack) {
        if (firstWrongPack < 0 && pack != answerOf(decoded))
            firstWrongPack = decoded;
        harness.decode(pack);
        if (firstWrongText < 0 && harness.measurements() != textsOf(decoded))
            firstWrongText = decoded;
        if (++decoded == target)
            drained.quit();
    });
    QTimer watchdog;
    watchdog.setSingleShot(true);
    connect(&watchdog, &QTimer::timeout, &drained, &QEventLoop::quit);

    QElapsedTimer run;
    run.start();
    long warmPeak = 0;
    for (int sent = 0; sent < total;) {
        QByteArray bytes;
        for (int i = 0; i < batch; ++i)
            bytes += answerOf(sent++);
        target = sent;
        harness.unit.sendRaw(bytes);
        watchdog.start(10000);
        drained.exec();
        QVERIFY2(decoded == sent, qPrintable(QStringLiteral("%1 of %2").arg(decoded).arg(sent)));
        if (sent == warmUp)
            warmPeak = peakRssKib();
    }
    const qint64 elapsed = run.elapsed();
    const long growth = peakRssKib() - warmPeak;
    qInfo("%d answers in %lld ms; peak RSS %ld KiB, grew %ld KiB after the warm-up", total, elapsed,
          warmPeak + growth, growth);

    QTest::qWait(100);
    QCOMPARE(decoded, total);
    QCOMPARE(firstWrongPack, -1);
    QCOMPARE(firstWrongText, -1);
    QCOMPARE(harness.measurements(), textsOf(total - 1));
    QVERIFY2(growth < 1024, qPrintable(QString::number(growth)));
}

QTEST_MAIN(TestSoak)
#include "tst_soak.moc"
