#pragma once

#include "transfer/imagetransfer.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QString>

class QLabel;
class QProgressBar;
class QPushButton;

// The small modeless window that shows how far an image transfer has come.
// The front panel owns it, opens it with the transfer and feeds it from the
// transfer timer's ticks; it never hears from a worker. While the transfer
// runs, Cancel, Esc and the window's close box all ask the panel to cancel
// it; once it has ended well the window says what was done and stays until
// it is closed.
class CTransferProgressDlg : public QDialog {
    Q_OBJECT
public:
    explicit CTransferProgressDlg(QWidget* owner);

    // A fresh start: direction, file, the counts as they stand (the total
    // of a send is known from the outset) and the clock at zero.
    void Begin(const ImageTransfer::Progress& start, const QString& path);
    // One tick's worth of the workers' counters.
    void Update(const ImageTransfer::Progress& progress);
    // The transfer is over, however it ended: the window goes.
    void Finish();
    // The transfer ended well: the last counts and `summary` stay on show,
    // and Cancel becomes Close.
    void Succeeded(const ImageTransfer::Progress& last, const QString& summary);

    // "1:05", or "1:02:03" past an hour.
    static QString FormatElapsed(qint64 ms);
    // Bytes per second over the elapsed time; "-" before there is a rate.
    static QString FormatRate(qint64 bytes, qint64 ms);

    QString DirectionText() const;
    QString CountText() const;
    QString TimeText() const;
    // The line under the bar: what to check while the radio has not answered,
    // what was done once it has ended well; empty otherwise.
    QString NoteText() const;
    QProgressBar* Bar() const { return bar; }
    QPushButton* CancelButton() const { return cancel; }

signals:
    void cancelRequested();

public slots:
    void reject() override;

private:
    QLabel* direction = nullptr;
    QLabel* file = nullptr;
    QProgressBar* bar = nullptr;
    QLabel* count = nullptr;
    QLabel* time = nullptr;
    QLabel* note = nullptr;
    QPushButton* cancel = nullptr;
    QElapsedTimer clock;
    qint64 finalMs = -1; // the elapsed time frozen at the end
    bool succeeded = false;
};
