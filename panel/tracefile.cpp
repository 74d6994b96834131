#include "panel/tracefile.h"

#include "serial/keptfiles.h"
#include "station/station.h"

#include <QDateTime>
#include <QFile>

#include <cerrno>
#include <cstring>

namespace {

std::string Stamp()
{
    return QDateTime::currentDateTime().toString(Qt::ISODate).toStdString();
}

QString CannotWrite(const QString& reason)
{
    return QStringLiteral("Unable to write the trace file:\n%1\nTracing serial traffic has been switched off.")
        .arg(reason);
}

QString CannotWrite(const QString& path, int error)
{
    return CannotWrite(path + QStringLiteral("\n") + QString::fromLocal8Bit(std::strerror(error)));
}

} // namespace

TraceFile::TraceFile(Station& station, QObject* parent) : QObject(parent), station(station)
{
    flushTimer.setInterval(kFlushIntervalMs);
    connect(&flushTimer, &QTimer::timeout, this, [this] { Flush(); });
}

TraceFile::~TraceFile()
{
    SwitchOff();
}

QString TraceFile::SwitchOn(const QString& tracePath)
{
    if (IsOn()) {
        return {};
    }
    // Appended to, so that switching the trace off and on loses nothing.
    const KeptAppendFile kept = OpenKeptFileToAppend(QFile::encodeName(tracePath).toStdString());
    if (kept.file == nullptr) {
        return CannotWrite(QString::fromLocal8Bit(kept.refused.c_str()));
    }
    file = kept.file;
    path = tracePath;
    // The first line goes out at once: a file that takes nothing (a full
    // disk) is found now, not some flushes later. A last line that a full
    // disk or a crash cut short is ended first.
    if (!Write(std::string(kept.endsMidLine ? "\n" : "") + "# Ostrelle trace switched on " + Stamp() +
               "; times are ms since START\n")) {
        const int error = errno != 0 ? errno : EIO;
        (void)std::fclose(file); // the write has already failed; that is what the user hears of
        file = nullptr;
        return CannotWrite(tracePath, error);
    }
    station.StartTrace();
    flushTimer.start();
    return {};
}

void TraceFile::SwitchOff()
{
    if (!IsOn()) {
        return;
    }
    const std::string held = station.StopTrace();
    if (!held.empty() && !Write(held)) {
        Fail(errno != 0 ? errno : EIO);
    }
    if (file != nullptr) {
        (void)Write("# trace switched off " + Stamp() + "\n");
    }
    flushTimer.stop();
    if (file != nullptr) {
        // The last lines leave the buffer only here; a trace that lost them
        // must not pass for whole.
        const bool closed = std::fclose(file) == 0;
        const int error = errno != 0 ? errno : EIO;
        file = nullptr;
        if (!closed) {
            emit failed(CannotWrite(path, error));
        }
    }
}

void TraceFile::LinkStarted()
{
    if (IsOn()) {
        Flush(true);
        if (!Write("# START " + Stamp() + "\n")) {
            Fail(errno != 0 ? errno : EIO);
        }
    }
}

void TraceFile::LinkStopped()
{
    if (IsOn()) {
        Flush(true);
    }
}

void TraceFile::Flush(bool everything)
{
    if (!IsOn()) {
        return;
    }
    const std::string lines = station.TakeTraceLines(everything);
    if (!lines.empty() && !Write(lines)) {
        Fail(errno != 0 ? errno : EIO);
    }
}

bool TraceFile::Write(const std::string& text)
{
    errno = 0;
    return std::fwrite(text.data(), 1, text.size(), file) == text.size() && std::fflush(file) == 0;
}

void TraceFile::Fail(int error)
{
    // Off before anyone is told, so that the message box's own event loop
    // cannot run into a second failure and a second message.
    (void)station.StopTrace(); // the lines held back have nowhere to go
    flushTimer.stop();
    (void)std::fclose(file); // already failed; the message below says so
    file = nullptr;
    emit failed(CannotWrite(path, error));
}
