#include "panel/transferprogressdlg.h"

#include "protocol/frames.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

namespace {

const QString SEND_TEXT = QStringLiteral("Sending from PC to radio");
const QString RECEIVE_TEXT = QStringLiteral("Receiving to PC from radio");
const QString SENT_TEXT = QStringLiteral("Sent from PC to radio");
const QString RECEIVED_TEXT = QStringLiteral("Received to PC from radio");
const QString WAITING_TEXT = QStringLiteral("Waiting for the radio...");
const QString SEND_WAITING_NOTE =
    QStringLiteral("Put the radio in PC/IF mode to take the image; sending begins as soon as it is ready.");
const QString RECEIVE_WAITING_NOTE =
    QStringLiteral("Put the radio in PC/IF mode to send its image; receiving begins as soon as it does.");
// A radio that answers at once should not make the window grow and shrink
// again for a hint nobody needed.
constexpr qint64 WAITING_NOTE_AFTER_MS = 1000;

} // namespace

CTransferProgressDlg::CTransferProgressDlg(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("transferProgress"));
    setModal(false);
    setWindowTitle(QCoreApplication::applicationName().isEmpty() ? QStringLiteral("Transfer")
                                                                 : QCoreApplication::applicationName());

    direction = new QLabel(this);
    QFont bold = direction->font();
    bold.setBold(true);
    direction->setFont(bold);
    file = new QLabel(this);
    file->setTextFormat(Qt::PlainText);
    file->setTextInteractionFlags(Qt::TextSelectableByMouse);
    bar = new QProgressBar(this);
    bar->setTextVisible(false);
    bar->setMinimumWidth(260);
    count = new QLabel(this);
    count->setMinimumWidth(count->fontMetrics().horizontalAdvance(QStringLiteral("00000 of 00000 records")));
    count->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    time = new QLabel(this);
    note = new QLabel(this);
    note->setTextFormat(Qt::PlainText);
    note->setWordWrap(true);
    note->setTextInteractionFlags(Qt::TextSelectableByMouse);
    note->setVisible(false);
    cancel = new QPushButton(QStringLiteral("Cancel"), this);
    cancel->setAutoDefault(false);
    connect(cancel, &QPushButton::clicked, this, &CTransferProgressDlg::reject);

    auto* barRow = new QHBoxLayout;
    barRow->addWidget(bar, 1);
    barRow->addWidget(count);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(time, 1);
    bottom->addWidget(cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(direction);
    layout->addWidget(file);
    layout->addLayout(barRow);
    layout->addWidget(note);
    layout->addLayout(bottom);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

void CTransferProgressDlg::Begin(const ImageTransfer::Progress& start, const QString& path)
{
    const bool sending = start.kind == TransferKind::Send;
    direction->setText(sending ? SEND_TEXT : RECEIVE_TEXT);
    // The name is what the user recognises; the whole path is a hover away.
    file->setText(QFileInfo(path).fileName());
    file->setToolTip(path);
    succeeded = false;
    finalMs = -1;
    cancel->setText(QStringLiteral("Cancel"));
    clock.start();
    Update(start);
    show();
    raise();
    // Esc is meant for this window while the transfer runs.
    activateWindow();
}

void CTransferProgressDlg::Update(const ImageTransfer::Progress& progress)
{
    // Counts are written as the messages of the transfer write them (no
    // grouping), so that "26400 bytes" here is "26400 bytes" there.
    qint64 bytes = 0;
    if (progress.kind == TransferKind::Send) {
        // An empty image has nothing to fill; its bar stays empty, not busy.
        bar->setRange(0, std::max(progress.recordsTotal, 1));
        bar->setValue(std::min(progress.recordsSent, std::max(progress.recordsTotal, 1)));
        count->setText(QStringLiteral("%1 of %2 records")
                           .arg(progress.recordsSent).arg(progress.recordsTotal));
        bytes = static_cast<qint64>(progress.recordsSent) * IMAGE_RECORD_SIZE;
    } else {
        // No total is known before the radio falls silent: a busy bar.
        bar->setRange(0, 0);
        count->setText(QStringLiteral("%1 bytes").arg(progress.bytesReceived));
        bytes = progress.bytesReceived;
    }
    const qint64 ms = finalMs >= 0 ? finalMs : clock.isValid() ? clock.elapsed() : 0;
    // A radio that has not answered yet is what the user must see, with what
    // to do about it, and not a count of nothing at no rate.
    const bool waiting = progress.waitingForRadio && !succeeded;
    if (waiting) {
        count->setText(WAITING_TEXT);
        time->setText(QStringLiteral("%1 elapsed").arg(FormatElapsed(ms)));
        note->setText(ms < WAITING_NOTE_AFTER_MS                  ? QString()
                      : progress.kind == TransferKind::Send ? SEND_WAITING_NOTE
                                                            : RECEIVE_WAITING_NOTE);
    } else {
        time->setText(QStringLiteral("%1 elapsed, %2").arg(FormatElapsed(ms), FormatRate(bytes, ms)));
        if (!succeeded) {
            note->clear();
        }
    }
    note->setVisible(!note->text().isEmpty());
}

void CTransferProgressDlg::Finish()
{
    hide();
}

void CTransferProgressDlg::Succeeded(const ImageTransfer::Progress& last, const QString& summary)
{
    finalMs = clock.isValid() ? clock.elapsed() : 0;
    succeeded = true;
    direction->setText(last.kind == TransferKind::Send ? SENT_TEXT : RECEIVED_TEXT);
    note->setText(summary);
    Update(last);
    // The bar of a receive was busy for want of a total; now it is full.
    bar->setRange(0, 1);
    bar->setValue(1);
    cancel->setText(QStringLiteral("Close"));
    show();
}

void CTransferProgressDlg::reject()
{
    if (succeeded) {
        hide();
        return;
    }
    // Closing the window must not leave a transfer running unseen.
    emit cancelRequested();
}

QString CTransferProgressDlg::FormatElapsed(qint64 ms)
{
    const qint64 seconds = std::max<qint64>(ms, 0) / 1000;
    const qint64 hours = seconds / 3600;
    const qint64 minutes = seconds / 60 % 60;
    const qint64 rest = seconds % 60;
    if (hours > 0) {
        return QStringLiteral("%1:%2:%3").arg(hours).arg(minutes, 2, 10, QLatin1Char('0')).arg(rest, 2, 10, QLatin1Char('0'));
    }
    return QStringLiteral("%1:%2").arg(minutes).arg(rest, 2, 10, QLatin1Char('0'));
}

QString CTransferProgressDlg::FormatRate(qint64 bytes, qint64 ms)
{
    // Below a tenth of a second the quotient says nothing yet.
    if (ms < 100 || bytes <= 0) {
        return QStringLiteral("- bytes/s");
    }
    return QStringLiteral("%1 bytes/s").arg(bytes * 1000 / ms);
}

QString CTransferProgressDlg::DirectionText() const
{
    return direction->text();
}

QString CTransferProgressDlg::CountText() const
{
    return count->text();
}

QString CTransferProgressDlg::TimeText() const
{
    return time->text();
}

QString CTransferProgressDlg::NoteText() const
{
    return note->text();
}
