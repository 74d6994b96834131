#include "panel/tracefile.h"

#include "serial/keptfiles.h"
#include "serial/serialport.h"

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

TraceFile::TraceFile(CSerialPort& port, QObject* parent) : QObject(parent), port(port)
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
    // Lines of traffic from before the switch are none of this trace's.
    (void)recorder.TakeLines(true);
    port.SetTap(&recorder);
    flushTimer.start();
    return {};
}

void TraceFile::SwitchOff()
{
    if (!IsOn()) {
        return;
    }
    port.SetTap(nullptr);
    Flush(true);
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
    recorder.Start();
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
    const std::string lines = recorder.TakeLines(everything);
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
    port.SetTap(nullptr);
    flushTimer.stop();
    (void)std::fclose(file); // already failed; the message below says so
    file = nullptr;
    emit failed(CannotWrite(path, error));
}
