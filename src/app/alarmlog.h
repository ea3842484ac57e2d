#ifndef ALARMLOG_H
#define ALARMLOG_H

#include "alarmchannel.h"

#include <QDateTime>
#include <QString>

#include <optional>
#include <vector>

// The alarms' events kept on the disk, one JSON line each, so that an operator can show what
// happened and when, and the window can find at its start what was left unacknowledged. The file
// is only ever appended to: a line once synced stays as it was written.
class AlarmLog
{
public:
    struct Entry
    {
        QDateTime time; // local, with its offset
        int row; // channel 0..3, or AlarmChannel::Link
        AlarmChannel::Kind kind;
        std::optional<int> value; // tenths; the link: seconds without data
        std::optional<int> limit; // tenths; the link: seconds
        int hysteresis; // tenths (0 for the link)
        int delaySeconds;
        QString user; // acknowledgements only
    };

    // alarms.jsonl in the user's data folder: ~/.local/share/corvane/ on Linux (honouring
    // XDG_DATA_HOME), %LOCALAPPDATA%\Corvane\ on Windows.
    static QString defaultPath();

    explicit AlarmLog(const QString &path = defaultPath());

    QString path() const { return file; }
    // Appends the entry as one whole JSON line and syncs it to the disk; false, with
    // errorString(), when it could not. The folder is made when missing.
    bool append(const Entry &entry);
    QString errorString() const { return error; }
    // The file's last `count` entries, oldest first; a torn or foreign line is passed over. Empty
    // when there is no file.
    std::vector<Entry> readBack(int count = 1000) const;

    // The rows whose alarm was active or not yet acknowledged after these entries: for each row,
    // Raised makes it active and owed, Acknowledged settles what is owed, Cleared ends the active
    // part. Owed or still active: listed.
    static std::vector<int> unacknowledged(const std::vector<Entry> &entries);
    // The login name of the user running the window.
    static QString userName();

private:
    QString file;
    QString error;
};

#endif // ALARMLOG_H
