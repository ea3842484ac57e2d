// Arbitrary bytes off the line, handed to the link's cutting in arbitrary pieces; every pack it
// cuts goes to one window's decoding, as in the program. At the end the line goes idle.
//
// Input: the first byte's low four bits give how many piece sizes follow it; the remaining bytes
// are the stream. The stream reaches the link in pieces of those sizes in turn, so that packs
// arrive split and run together the way reads off a port do; a size of 0 hands over all that is
// left, and without sizes the stream comes in one piece.

#include "mainwindow.h"
#include "packframer.h"
#include "sensorprotocol.h"

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

// The current input's stream, how much of it the cutting has been given and how much of that it
// has handed back as packs or dropped runs.
const char *stream = nullptr;
int fedBytes = 0;
int cutBytes = 0;

[[noreturn]] void fail(const char *invariant)
{
    std::fprintf(stderr, "broken: %s\n", invariant);
    std::abort();
}

// Trace lines would cost more than the cutting and decoding being fuzzed.
void dropDebugMessages(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtDebugMsg)
        defaultMessageHandler(type, context, message);
}

void takeCut(const PackFramer::Cut &cut)
{
    if (cut.bytes.isEmpty())
        fail("a pack or a dropped run holds bytes");
    if (cut.bytes.size() > fedBytes - cutBytes
        || std::memcmp(cut.bytes.constData(), stream + cutBytes, size_t(cut.bytes.size())) != 0)
        fail("the packs and dropped runs, one after another, are the stream as it was fed");
    cutBytes += cut.bytes.size();
    if (cut.kind == PackFramer::Cut::Dropped)
        return;

    const QByteArray &pack = cut.bytes;
    if (quint8(pack.at(0)) != SensorProtocol::StartByte || SensorProtocol::byteSum(pack) != 0)
        fail("a pack starts with 0x21 and sums to 0");
    // Packs are cut from at least four buffered bytes, so the length byte was in the stream even
    // when the pack itself ends before it.
    if (cutBytes - pack.size() + 2 >= fedBytes
        || pack.size() != quint8(stream[cutBytes - pack.size() + 2]) + 1)
        fail("a pack is its length byte plus one bytes long");

    // The factory reset's answer opens an application-modal message box, whose exec() waits for
    // an operator; nothing here would ever close it. Its decoding is that box, a flag and the
    // polling start that 0x63 answers exercise as well.
    if (pack.size() > 1 && quint8(pack.at(1)) == kFactoryResetCommand)
        return;
    decodeSlot.invoke(window, Qt::DirectConnection, Q_ARG(QByteArray, pack));
}

void cutAll(PackFramer &framer)
{
    for (PackFramer::Cut cut = framer.next(); cut.kind != PackFramer::Cut::Waiting;
         cut = framer.next())
        takeCut(cut);
    // What waits is one incomplete pack that starts with 0x21.
    const int held = fedBytes - cutBytes;
    if (held > 0 && quint8(stream[cutBytes]) != SensorProtocol::StartByte)
        fail("only a pack's start byte leads what waits");
    if (held >= 4 && held > quint8(stream[cutBytes + 2]))
        fail("the cutting holds back no complete pack");
    if (framer.isWaiting() != (held > 0))
        fail("the cutting says what it holds");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
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
    cutBytes = 0;

    // A fresh cutting per input: what one input leaves held must not lead the next.
    PackFramer framer;
    for (int i = 0; fedBytes < streamSize; ++i) {
        const int wanted = sizeCount > 0 ? pieceSizes[i % sizeCount] : 0;
        const int left = streamSize - fedBytes;
        const int piece = wanted == 0 ? left : std::min(wanted, left);
        const int start = fedBytes;
        fedBytes += piece;
        // Raw, so that reading past the piece runs into the end of libFuzzer's buffer.
        framer.append(QByteArray::fromRawData(stream + start, piece));
        cutAll(framer);
    }
    framer.lineIdle();
    cutAll(framer);
    if (cutBytes != fedBytes)
        fail("nothing is held once the line went idle");
    return 0;
}
