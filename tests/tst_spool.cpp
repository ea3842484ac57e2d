#include "spool.h"

#include <QDir>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

// The spool on its own: files in a temporary directory, no broker.

namespace {
const QString State = QStringLiteral("corvane/u1/state");
// Records of 32 bytes with a six-digit payload.
const QString Short = QStringLiteral("u1/state");

// The payloads of the messages not acknowledged, in order.
QByteArrayList pending(Spool &spool)
{
    QByteArrayList all;
    for (Spool::Message m; spool.next(m.id + 1, &m);)
        all << m.payload;
    return all;
}

// The numbers as payloads, zero-padded to the width.
QByteArrayList numbered(int from, int to, int width = 0)
{
    QByteArrayList all;
    for (int i = from; i <= to; ++i)
        all << QByteArray::number(i).rightJustified(width, '0');
    return all;
}
} // namespace

class TestSpool : public QObject
{
    Q_OBJECT

private slots:
    void spoolKeepsOrderOverRestarts();
    void spoolCutsTornRecord_data();
    void spoolCutsTornRecord();
    void spoolErrors();
    void spoolAtLimit_data();
    void spoolAtLimit();
};

void TestSpool::spoolKeepsOrderOverRestarts()
{
    QTemporaryDir dir;
    QString error;
    int dropped = 0;
    const auto files = [&] { return QDir(dir.path()).entryList({"*.seg"}).size(); };
    {
        Spool spool;
        QVERIFY2(spool.open(dir.path(), 1 << 17, &error), qPrintable(error));
        for (const QByteArray &payload : numbered(1, 300))
            QVERIFY(spool.append(State, payload, &dropped, &error));
        // Acknowledged out of order: the first not acknowledged comes next, then those after.
        for (quint64 id : {1, 3, 4, 2})
            spool.acknowledge(id);
        for (quint64 id = 6; id <= 200; ++id)
            spool.acknowledge(id);
        QCOMPARE(pending(spool), numbered(5, 5) + numbered(201, 300));
        QCOMPARE(files(), 3);
        // Segment files acknowledged all through are removed.
        spool.acknowledge(5);
        QCOMPARE(files(), 2);
    }
    Spool spool;
    QVERIFY(spool.open(dir.path(), 1 << 17, &error));
    QCOMPARE(pending(spool), numbered(201, 300));
    QCOMPARE(spool.pending(), 100);
    Spool::Message message;
    QVERIFY(spool.next(0, &message) && message.topic == State);
}

void TestSpool::spoolCutsTornRecord_data()
{
    // Ten readings "1" to "10" as written before records had a marker, on topic "t".
    const QByteArray unmarked = QByteArray::fromHex(
        "04000000b104758301007431040000000b557c1a01007432040000009d657b6d01007433040000003ef01ff3"
        "0100743404000000a8c0188401007435040000001291111d010074360400000084a1166a0100743704000000"
        "15bca9fa0100743804000000838cae8d01007439050000003f293e480100743130");
    QTest::addColumn<QByteArray>("written"); // in place of the file, if not empty
    QTest::addColumn<int>("cut"); // bytes taken off the end of the file
    QTest::addColumn<QByteArray>("tail"); // then appended
    QTest::addColumn<int>("flip"); // the reading with a bit flipped
    QTest::addColumn<int>("at"); // from the start of its topic
    QTest::addColumn<int>("whole"); // of the 10 records, but the one flipped
    QTest::newRow("torn in the body") << QByteArray() << 3 << QByteArray() << 0 << 0 << 9;
    QTest::newRow("torn in the header") << QByteArray() << 23 << QByteArray() << 0 << 0 << 9;
    QTest::newRow("zeros after a power cut")
        << QByteArray() << 0 << QByteArray(100, '\0') << 0 << 0 << 10;
    QTest::newRow("garbage") << QByteArray() << 0 << QByteArray("\x05\0\0\0garbage", 11) << 0 << 0
                             << 10;
    QTest::newRow("a bit flipped in a reading")
        << QByteArray() << 0 << QByteArray() << 4 << 16 << 10;
    QTest::newRow("a bit flipped in a marker")
        << QByteArray() << 0 << QByteArray() << 5 << -18 << 10;
    QTest::newRow("the first marker flipped")
        << QByteArray() << 0 << QByteArray() << 1 << -18 << 10;
    QTest::newRow("written before the marker") << unmarked << 0 << QByteArray() << 0 << 0 << 10;
    QTest::newRow("written before the marker, torn")
        << unmarked << 2 << QByteArray() << 0 << 0 << 9;
}

void TestSpool::spoolCutsTornRecord()
{
    QFETCH(QByteArray, written);
    QFETCH(int, cut);
    QFETCH(QByteArray, tail);
    QFETCH(int, flip);
    QFETCH(int, at);
    QFETCH(int, whole);
    QTemporaryDir dir;
    QString error;
    int dropped = 0;
    QByteArrayList kept = numbered(1, whole);
    kept.removeOne(QByteArray::number(flip));
    for (int run = 0; run < 3; ++run) {
        Spool spool;
        QSignalSpy notices(&spool, &Spool::notice);
        QVERIFY(spool.open(dir.path(), 1 << 20, &error));
        QCOMPARE(pending(spool), run ? kept + numbered(11, 9 + run) : numbered(1, 0));
        QCOMPARE(spool.pending(), run ? kept.size() + run - 1 : 0);
        // Each damaged reading skipped is one line.
        QVERIFY(run != 1 || notices.size() == (flip ? 1 : 0));
        QVERIFY(notices.isEmpty()
                || notices.first().first().toString().endsWith(": 1 reading skipped"));
        for (const QByteArray &payload : run ? numbered(11, 11) : numbered(1, 10))
            QVERIFY(spool.append(State, payload, &dropped, &error));
        if (run == 0) {
            QFile file(dir.filePath(QDir(dir.path()).entryList({"*.seg"}).first()));
            QVERIFY(file.open(QIODevice::ReadWrite));
            QByteArray data = written.isEmpty() ? file.readAll() : written;
            const int topic = data.indexOf(State.toUtf8() + QByteArray::number(flip)) + at;
            if (flip)
                data[topic] = char(data.at(topic) ^ 0x10);
            data.chop(cut);
            QVERIFY(file.resize(0) && file.write(data + tail) == data.size() + tail.size());
        }
    }
}

void TestSpool::spoolErrors()
{
    QTemporaryDir dir;
    QString error;
    int dropped = 0;
    Spool beneathFile, second;
    QVERIFY(QFile(dir.filePath("file")).open(QIODevice::WriteOnly));
    QVERIFY(!beneathFile.open(dir.filePath("file/spool"), 1 << 20, &error));
    QCOMPARE(error, "cannot create the spool directory " + dir.filePath("file/spool"));

    auto spool = std::make_unique<Spool>();
    QVERIFY(spool->open(dir.filePath("spool"), 1 << 20, &error));
    QVERIFY(!second.open(dir.filePath("spool"), 1 << 20, &error));
    QCOMPARE(error,
             QStringLiteral("the spool %1 is in use by another corvane-cli (pid %2)")
                 .arg(dir.filePath("spool"))
                 .arg(QCoreApplication::applicationPid()));

    // Named through a link, the same spool is as much in use.
    QVERIFY(QFile::link(dir.filePath("spool"), dir.filePath("link")));
    QVERIFY(!second.open(dir.filePath("link"), 1 << 20, &error));
    QVERIFY2(error.contains(" is in use by another corvane-cli (pid "), qPrintable(error));
    // Nothing is written that could not be read back.
    QVERIFY(!spool->append(QString(65536, 't'), "1", &dropped, &error));
    QVERIFY(!spool->append(State, QByteArray(16 << 20, '1'), &dropped, &error));

    // A full disk, as a file size limit: the system's reason, and no half record behind.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit normal{};
    getrlimit(RLIMIT_FSIZE, &normal);
    rlimit small{1000, normal.rlim_max};
    setrlimit(RLIMIT_FSIZE, &small);
    QByteArrayList appended;
    const auto fill = [&] {
        appended.clear();
        while (appended.size() < 100
               && spool->append(State, QByteArray::number(appended.size() + 1), &dropped, &error))
            appended << QByteArray::number(appended.size() + 1);
        return error.endsWith(": " + QString::fromLocal8Bit(strerror(EFBIG)))
            && appended.size() > 10 && appended.size() < 100;
    };
    QVERIFY2(fill(), qPrintable(error));
    // Acknowledged, they give their space back at once, the file written on too.
    for (int id = 1; id <= appended.size(); ++id)
        spool->acknowledge(quint64(id));
    QVERIFY2(fill(), qPrintable(error));
    setrlimit(RLIMIT_FSIZE, &normal);
    QVERIFY(spool->append(State, "after", &dropped, &error));
    // A file that is not a regular one, here an endless device, is skipped with a line.
    QVERIFY(QFile::link("/dev/zero", dir.filePath("spool/0000000000000000.seg")));
    spool = std::make_unique<Spool>();
    QSignalSpy notices(spool.get(), &Spool::notice);
    QVERIFY(spool->open(dir.filePath("spool"), 1 << 20, &error));
    QCOMPARE(pending(*spool), appended << "after");
    QCOMPARE(notices.size(), 1);
}

// At 32 bytes a record and 12 KiB, three files of 128 readings each; past that the oldest file
// goes. Acknowledgements come out of order once it is full and after it overflowed; then it is
// opened again, its cursor file kept or damaged.
void TestSpool::spoolAtLimit_data()
{
    QTest::addColumn<QList<int>>("before");
    QTest::addColumn<int>("more"); // appended past the limit
    QTest::addColumn<QList<int>>("after");
    QTest::addColumn<int>("dropped"); // as reported: acknowledged ones do not count
    QTest::addColumn<int>("pending");
    QTest::addColumn<QString>("cursor");
    QTest::addColumn<int>("removed"); // the file, counted from 1, removed while it is served
    QTest::newRow("acknowledged ahead, dropped")
        << QList<int>{3, 1, 2, 100, 50} << 1 << QList<int>() << 123 << 257 << "kept" << 0;
    QTest::newRow("acknowledged ahead of the first kept")
        << QList<int>{200, 130, 129, 5} << 1 << QList<int>() << 127 << 254 << "kept" << 0;
    QTest::newRow("two files dropped")
        << QList<int>{300, 1, 129, 2} << 129 << QList<int>() << 253 << 256 << "kept" << 0;
    QTest::newRow("the second file removed")
        << QList<int>() << 0 << QList<int>() << 0 << 256 << "kept" << 2;
    for (const char *cursor : {"kept", "flipped", "cut short", "removed"})
        QTest::newRow(qPrintable(QStringLiteral("acknowledged after the drop, cursor ") + cursor))
            << QList<int>{5} << 1 << QList<int>{131, 129, 130, 200} << 127 << 253 << cursor << 0;
}

void TestSpool::spoolAtLimit()
{
    QFETCH(QList<int>, before);
    QFETCH(int, more);
    QFETCH(QList<int>, after);
    QFETCH(int, dropped);
    QFETCH(int, pending);
    QFETCH(QString, cursor);
    QFETCH(int, removed);
    constexpr int Full = 384, Width = 6;
    QTemporaryDir dir;
    QString error;
    QByteArrayList left;
    {
        Spool spool;
        QVERIFY(spool.open(dir.path(), 12 << 10, &error));
        int droppedNow = 0, droppedAll = 0;
        for (int id = 1; id <= Full + more; ++id) {
            for (const int ack : id == Full + 1 ? before : QList<int>())
                spool.acknowledge(ack);
            QVERIFY(spool.append(Short, numbered(id, id, Width).first(), &droppedNow, &error));
            droppedAll += droppedNow;
        }
        for (const int ack : after)
            spool.acknowledge(ack);
        QSignalSpy notices(&spool, &Spool::notice);
        const QStringList files = QDir(dir.path()).entryList({"*.seg"});
        QVERIFY(!removed || QFile::remove(dir.filePath(files.value(removed - 1))));
        left = ::pending(spool);
        QCOMPARE(notices.size(), removed ? 1 : 0);
        QVERIFY(
            notices.isEmpty()
            || notices.first().first().toString().endsWith(" is missing: 128 readings skipped"));
        QCOMPARE(droppedAll, dropped);
        QCOMPARE(left.size(), pending);
        QCOMPARE(spool.pending(), pending);
    }
    QFile file(dir.filePath("cursor"));
    QVERIFY(file.open(QIODevice::ReadWrite));
    const char first = file.read(1).at(0);
    QVERIFY(cursor != "flipped" || (file.seek(0) && file.putChar(char(first ^ 1))));
    QVERIFY(cursor != "cut short" || file.resize(5));
    QVERIFY(cursor != "removed" || file.remove());
    file.close();
    Spool spool;
    QVERIFY(spool.open(dir.path(), 12 << 10, &error));
    const QByteArrayList again = ::pending(spool);
    QCOMPARE(spool.pending(), again.size());
    // In order, each once; nothing pending is skipped, and only acknowledged ones come again.
    QVERIFY(std::adjacent_find(again.begin(), again.end(), std::greater_equal<>()) == again.end());
    for (const QByteArray &payload : left)
        QVERIFY2(again.contains(payload), payload.constData());
    for (const QByteArray &payload : again)
        QVERIFY2(left.contains(payload) || (before + after).contains(payload.toInt()),
                 payload.constData());
    // Without a cursor all it kept comes again: all but the files dropped, 128 readings each.
    if (cursor != "kept")
        QCOMPARE(again, numbered((more + 127) / 128 * 128 + 1, Full + more, Width));
}

QTEST_GUILESS_MAIN(TestSpool)
#include "tst_spool.moc"
