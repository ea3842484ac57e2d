// Arbitrary bytes off the line, handed to one link in arbitrary pieces; every pack it cuts goes
// to one window's decoding, as in the program.
//
// Input: the first byte's low four bits give how many piece sizes follow it; the remaining bytes
// are the stream. The stream reaches the link in pieces of those sizes in turn, so that packs
// arrive split and run together the way reads off a port do; a size of 0 hands over all that is
// left, and without sizes the stream comes in one piece.

#include "mainwindow.h"
#include "serialcommon.h"

#include <QApplication>
#include <QByteArray>
#include <QMetaMethod>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const quint8 kFactoryResetCommand = 0x56;

QtMessageHandler defaultMessageHandler = nullptr;
MainWindow *window = nullptr;
QMetaMethod decodeSlot;

// The current input's stream, how much of it the link has been given and how much of that it
// has emitted as packs.
const char *stream = nullptr;
int fedBytes = 0;
int emittedBytes = 0;

[[noreturn]] void fail(const char *invariant)
{
    std::fprintf(stderr, "broken: %s\n", invariant);
    std::abort();
}

// A trace line per pack would cost more than the cutting and decoding being fuzzed.
void dropDebugMessages(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtDebugMsg)
        defaultMessageHandler(type, context, message);
}

void onPack(const QByteArray &pack)
{
    // Packs are cut from at least four buffered bytes, so the length byte was in the stream even
    // when the pack itself ends before it.
    if (emittedBytes + 2 >= fedBytes)
        fail("a pack is cut only when its length byte has arrived");
    if (pack.size() != quint8(stream[emittedBytes + 2]) + 1)
        fail("a pack is its length byte plus one bytes long");
    if (pack.size() > fedBytes - emittedBytes
        || std::memcmp(pack.constData(), stream + emittedBytes, size_t(pack.size())) != 0)
        fail("the packs, one after another, are the stream as it was fed");
    emittedBytes += pack.size();

    // The factory reset's answer opens an application-modal message box, whose exec() waits for
    // an operator; nothing here would ever close it. Its decoding is that box, a flag and the
    // polling start that 0x63 answers exercise as well.
    if (pack.size() > 1 && quint8(pack.at(1)) == kFactoryResetCommand)
        return;
    decodeSlot.invoke(window, Qt::DirectConnection, Q_ARG(QByteArray, pack));
}

void checkNothingCompleteIsHeld()
{
    const int held = fedBytes - emittedBytes;
    if (held >= 4 && held > quint8(stream[emittedBytes + 2]))
        fail("the link holds back no complete pack");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // The link stamps each pack's trace line with the local time; with the zone given here the C
    // library stops reading /etc/localtime again for every pack.
    qputenv("TZ", "UTC");
    defaultMessageHandler = qInstallMessageHandler(dropDebugMessages);
    // QApplication removes the options it knows from the list it is given; libFuzzer's own
    // command line stays out of its reach.
    static int argc = 1;
    static char name[] = "corvane-fuzz";
    static char *argv[] = {name, nullptr};
    // Both live as long as the process: building the window per input would cost more than
    // everything else together.
    new QApplication(argc, argv);
    window = new MainWindow;
    const QMetaObject *meta = window->metaObject();
    decodeSlot = meta->method(meta->indexOfSlot("onSendParsePack(QByteArray)"));
    if (!decodeSlot.isValid())
        fail("the window has its decoding slot");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const int sizeCount = int(std::min<size_t>(data[0] & 0x0F, size - 1));
    const uint8_t *pieceSizes = data + 1;
    stream = reinterpret_cast<const char *>(data + 1 + sizeCount);
    const int streamSize = int(size) - 1 - sizeCount;
    fedBytes = 0;
    emittedBytes = 0;

    // A fresh link per input: what one input leaves in the receive buffer must not lead the next.
    SerialCommon link;
    QObject::connect(&link, &SerialCommon::sendParsePack, onPack);
    for (int i = 0; fedBytes < streamSize; ++i) {
        const int wanted = sizeCount > 0 ? pieceSizes[i % sizeCount] : 0;
        const int left = streamSize - fedBytes;
        const int piece = wanted == 0 ? left : std::min(wanted, left);
        const int start = fedBytes;
        fedBytes += piece;
        // Raw, so that reading past the piece runs into the end of libFuzzer's buffer.
        link.receiveBytes(QByteArray::fromRawData(stream + start, piece));
        checkNothingCompleteIsHeld();
    }
    // A read notification after the port closed hands over nothing, which must cut nothing.
    const int emittedBefore = emittedBytes;
    link.receiveBytes(QByteArray());
    if (emittedBytes != emittedBefore)
        fail("no bytes, no packs");
    return 0;
}
