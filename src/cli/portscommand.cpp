#include "cli.h"
#include "commands.h"
#include "lineoutput.h"
#include "prober.h"
#include "serialcommon.h"

#include <QCommandLineParser>
#include <QJsonDocument>
#include <QJsonObject>

int portsCommand(const QCommandLineParser &parser, const QStringList &)
{
    ReadingFormat::Format format = Cli::defaultFormat(false);
    if (!Cli::formatOption(parser, {QStringLiteral("text"), QStringLiteral("jsonl")}, &format))
        return Cli::Usage;
    LineOutput out;
    if (!out.openStream(LineOutput::StandardOutput))
        return Cli::CannotWrite;
    const auto ports = Prober::listed();
    for (const Prober::Listed &info : ports) {
        const bool canOpen = !SerialCommon::probePorts({info.location}).isEmpty();
        QByteArray line;
        if (format == ReadingFormat::JsonLines) {
            const QJsonObject port{
                {QStringLiteral("port"), info.name},
                {QStringLiteral("location"), info.location},
                {QStringLiteral("description"), info.description},
                {QStringLiteral("manufacturer"), info.manufacturer},
                {QStringLiteral("serial_number"), info.serialNumber},
                {QStringLiteral("vid_pid"), info.vidPid},
                {QStringLiteral("can_open"), canOpen},
            };
            line = QJsonDocument(port).toJson(QJsonDocument::Compact);
        } else {
            QStringList fields{info.name, info.description, info.manufacturer, info.serialNumber,
                               info.vidPid};
            for (QString &field : fields) {
                if (field.isEmpty())
                    field = QStringLiteral("-");
            }
            fields << (canOpen ? QStringLiteral("can be opened")
                               : QStringLiteral("cannot be opened"));
            line = fields.join(QStringLiteral("  ")).toUtf8();
        }
        if (!out.writeLine(line)) {
            Cli::message(QStringLiteral("stdout cannot be written: ") + out.errorString());
            return Cli::CannotWrite;
        }
    }
    return Cli::Done;
}
