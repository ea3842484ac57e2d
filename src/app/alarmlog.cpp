#include "alarmlog.h"

#include "readingformat.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <pwd.h>
#include <unistd.h>
#endif

namespace {

const char *const kEvents[] = {"raised", "cleared", "acknowledged"};
const char kLinkKey[] = "link";
// Read back from the end in blocks this size, so that a year's log costs no more than its tail.
const qint64 kBlockBytes = 64 * 1024;
// A line longer than any entry can be is not one of ours; its bytes are not kept while reading.
const int kLongestLine = 4096;

QString keyOf(int row)
{
    return row == AlarmChannel::Link ? QLatin1String(kLinkKey)
                                     : QLatin1String(SensorProtocol::Channels[row].key);
}

// The link counts whole seconds; the channels carry tenths of their unit.
QString numberText(const std::optional<int> &value, bool link)
{
    if (!value)
        return QStringLiteral("null");
    return link ? QString::number(*value) : ReadingFormat::tenthsText(*value);
}

QString jsonString(const QString &text)
{
    QString quoted = QStringLiteral("\"");
    for (const QChar c : text) {
        if (c == QLatin1Char('"') || c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\');
        if (c.unicode() < 0x20)
            quoted += QStringLiteral("\\u%1").arg(int(c.unicode()), 4, 16, QLatin1Char('0'));
        else
            quoted += c;
    }
    return quoted + QLatin1Char('"');
}

// Written by hand, as the readings' lines are: a JSON writer would print 60.0 as 60 and order the
// keys its own way.
QByteArray lineOf(const AlarmLog::Entry &entry)
{
    const bool link = entry.row == AlarmChannel::Link;
    QString line =
        QStringLiteral("{\"time\":\"%1\",\"channel\":\"%2\",\"event\":\"%3\","
                       "\"value\":%4,\"limit\":%5,\"hysteresis\":%6,\"delay\":%7")
            .arg(ReadingFormat::isoTime(entry.time), keyOf(entry.row),
                 QLatin1String(kEvents[int(entry.kind)]), numberText(entry.value, link),
                 numberText(entry.limit, link), ReadingFormat::tenthsText(entry.hysteresis),
                 QString::number(entry.delaySeconds));
    if (entry.kind == AlarmChannel::Kind::Acknowledged)
        line += QStringLiteral(",\"user\":") + jsonString(entry.user);
    return (line + QStringLiteral("}\n")).toUtf8();
}

bool tenthsOf(const QJsonValue &json, bool link, std::optional<int> *value)
{
    if (json.isNull()) {
        value->reset();
        return true;
    }
    // Beyond any value an entry carries, and beyond what an int holds.
    const double scaled = json.toDouble() * (link ? 1 : 10);
    if (!json.isDouble() || std::abs(scaled) > 1e9)
        return false;
    *value = qRound(scaled);
    return true;
}

// The entry a line holds, or nothing for a line that is torn or not the log's.
std::optional<AlarmLog::Entry> entryOf(const QByteArray &line)
{
    const QJsonObject json = QJsonDocument::fromJson(line).object();
    AlarmLog::Entry entry{};
    entry.time =
        QDateTime::fromString(json.value(QLatin1String("time")).toString(), Qt::ISODateWithMs);
    const QString key = json.value(QLatin1String("channel")).toString();
    entry.row = -1;
    for (int row = 0; row <= AlarmChannel::Link; ++row) {
        if (key == keyOf(row))
            entry.row = row;
    }
    const auto kind = std::find(std::begin(kEvents), std::end(kEvents),
                                json.value(QLatin1String("event")).toString());
    const QJsonValue hysteresis = json.value(QLatin1String("hysteresis"));
    const QJsonValue delay = json.value(QLatin1String("delay"));
    const bool link = entry.row == AlarmChannel::Link;
    if (!entry.time.isValid() || entry.row < 0 || kind == std::end(kEvents)
        || !hysteresis.isDouble() || std::abs(hysteresis.toDouble()) > 1e8 || !delay.isDouble()
        || !tenthsOf(json.value(QLatin1String("value")), link, &entry.value)
        || !tenthsOf(json.value(QLatin1String("limit")), link, &entry.limit))
        return std::nullopt;
    entry.kind = AlarmChannel::Kind(kind - std::begin(kEvents));
    entry.hysteresis = qRound(hysteresis.toDouble() * 10);
    entry.delaySeconds = delay.toInt();
    entry.user = json.value(QLatin1String("user")).toString();
    return entry;
}

} // namespace

QString AlarmLog::defaultPath()
{
#ifdef Q_OS_WIN
    const QString folder = QStringLiteral("/Corvane");
#else
    const QString folder = QStringLiteral("/corvane");
#endif
    // The generic data folder is %LOCALAPPDATA% on Windows and follows XDG_DATA_HOME elsewhere.
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + folder
        + QStringLiteral("/alarms.jsonl");
}

AlarmLog::AlarmLog(const QString &path)
    : file(path)
{ }

bool AlarmLog::append(const Entry &entry)
{
    QDir().mkpath(QFileInfo(file).absolutePath());
    QFile out(file);
    const auto fail = [this](const QString &reason) {
        error = QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(file), reason);
        return false;
    };
    if (!out.open(QIODevice::ReadWrite | QIODevice::Append | QIODevice::Unbuffered))
        return fail(out.errorString());
    // A line torn by a crash is left as it is; the next one starts on a line of its own, so that
    // it is not lost with it.
    char last = '\n';
    const bool torn =
        out.size() > 0 && out.seek(out.size() - 1) && out.getChar(&last) && last != '\n';
    const QByteArray line = (torn ? QByteArray("\n") : QByteArray()) + lineOf(entry);
    // One write, so that a reader never sees half a line of a whole entry. Qt names no reason
    // for a write that stopped part of the way; the system's is in errno.
    const qint64 written = out.write(line);
    if (written < 0)
        return fail(out.errorString());
    if (written < line.size())
        return fail(qt_error_string(errno));
#ifdef Q_OS_WIN
    if (_commit(out.handle()) != 0)
#else
    if (::fsync(out.handle()) != 0)
#endif
        return fail(qt_error_string(errno));
    return true;
}

std::vector<AlarmLog::Entry> AlarmLog::readBack(int count) const
{
    std::vector<Entry> newestFirst;
    QFile in(file);
    if (count <= 0 || !in.open(QIODevice::ReadOnly))
        return newestFirst;
    // rest holds the bytes from pos up to the lines already taken; whatever follows its last
    // newline is a whole line.
    qint64 pos = in.size();
    QByteArray rest;
    bool overlong = false;
    while (int(newestFirst.size()) < count && (pos > 0 || !rest.isEmpty())) {
        const int newline = rest.lastIndexOf('\n');
        if (newline < 0 && pos > 0) {
            const qint64 from = std::max<qint64>(0, pos - kBlockBytes);
            if (!in.seek(from))
                break;
            const QByteArray block = in.read(pos - from);
            if (block.size() != pos - from)
                break;
            pos = from;
            rest.prepend(block);
            if (rest.size() > kLongestLine && !rest.contains('\n')) {
                rest.clear();
                overlong = true;
            }
            continue;
        }
        const QByteArray line = rest.mid(newline + 1);
        rest.truncate(std::max(newline, 0));
        if (!overlong) {
            if (const auto entry = entryOf(line))
                newestFirst.push_back(*entry);
        }
        overlong = false;
    }
    return {newestFirst.rbegin(), newestFirst.rend()};
}

std::vector<int> AlarmLog::unacknowledged(const std::vector<Entry> &entries)
{
    std::array<bool, AlarmChannel::Link + 1> active{}, owed{};
    for (const Entry &entry : entries) {
        if (entry.row < 0 || entry.row > AlarmChannel::Link)
            continue;
        switch (entry.kind) {
        case AlarmChannel::Kind::Raised:
            active[size_t(entry.row)] = owed[size_t(entry.row)] = true;
            break;
        case AlarmChannel::Kind::Cleared:
            active[size_t(entry.row)] = false;
            break;
        case AlarmChannel::Kind::Acknowledged:
            owed[size_t(entry.row)] = false;
            break;
        }
    }
    std::vector<int> rows;
    for (int row = 0; row <= AlarmChannel::Link; ++row) {
        if (active[size_t(row)] || owed[size_t(row)])
            rows.push_back(row);
    }
    return rows;
}

QString AlarmLog::userName()
{
#ifdef Q_OS_WIN
    return qEnvironmentVariable("USERNAME");
#else
    // The account, not the environment: USER is whatever the shell was given. It stands in only
    // where the account has no entry (a container without one).
    std::vector<char> buffer(16384);
    passwd account;
    passwd *found = nullptr;
    if (getpwuid_r(getuid(), &account, buffer.data(), buffer.size(), &found) == 0 && found)
        return QString::fromLocal8Bit(found->pw_name);
    return qEnvironmentVariable("USER");
#endif
}
