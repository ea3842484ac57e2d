#include "barecutter.h"

void BareCutter::receiveBytes(const QByteArray &bytes)
{
    framer.append(bytes);
    for (PackFramer::Cut cut = framer.next(); cut.kind != PackFramer::Cut::Waiting;
         cut = framer.next()) {
        if (cut.kind == PackFramer::Cut::Pack)
            emit packCut(cut.bytes);
    }
}
