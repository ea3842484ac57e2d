#include "barecutter.h"

void BareCutter::receiveBytes(const QByteArray &bytes)
{
    buffer.append(bytes);
    while (buffer.size() - offset >= 4) {
        const int length = quint8(buffer.at(offset + 2));
        if (buffer.size() - offset <= length)
            break;
        const QByteArray pack = buffer.mid(offset, length + 1);
        offset += length + 1;
        emit packCut(pack);
    }
    buffer.remove(0, offset);
    offset = 0;
}
