#include "packcounter.h"

void PackCounter::take(const QByteArray &pack)
{
    ++packs;
    bytes += pack.size();
}
