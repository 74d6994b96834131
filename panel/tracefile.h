#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdio>

class Station;

// The traffic trace of the front panel. While it is on, the station's trace
// recorder copies the port's traffic under a short lock; the lines are taken
// from it and written to the file here, on the window thread, from a timer.
// So a slow or failing disk never holds up a worker. A file that cannot be
// opened or written switches the trace off, and `failed` says why, once.
class TraceFile : public QObject {
    Q_OBJECT
public:
    static constexpr int kFlushIntervalMs = 200;

    explicit TraceFile(Station& station, QObject* parent = nullptr);
    ~TraceFile() override;

    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;

    // Opens `path` for appending and taps the port. Empty on success, else
    // the message for the user (the trace then stays off).
    QString SwitchOn(const QString& path);
    // Writes what is pending, stops the recording and closes the file.
    void SwitchOff();
    bool IsOn() const { return file != nullptr; }
    QString Path() const { return path; }

    // START, before the station sets the time origin of the lines that follow.
    void LinkStarted();
    // STOP: everything counted or held so far goes to the file.
    void LinkStopped();

    // Writes the finished lines; with `everything`, also what the recorder
    // still holds back (an open burst, counted repeats).
    void Flush(bool everything = false);

signals:
    void failed(const QString& message);

private:
    bool Write(const std::string& text);
    void Fail(int error);

    Station& station;
    QTimer flushTimer;
    std::FILE* file = nullptr;
    QString path;
};
