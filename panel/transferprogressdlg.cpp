#include "transferprogressdlg.h"

#include "frames.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

namespace {

const QString SEND_TEXT = QStringLiteral("Sending from PC to radio");
const QString RECEIVE_TEXT = QStringLiteral("Receiving to PC from radio");

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
    cancel = new QPushButton(QStringLiteral("Cancel"), this);
    cancel->setAutoDefault(false);
    connect(cancel, &QPushButton::clicked, this, &CTransferProgressDlg::cancelRequested);

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
    clock.start();
    Update(start);
    show();
    raise();
}

void CTransferProgressDlg::Update(const ImageTransfer::Progress& progress)
{
    const QLocale locale;
    qint64 bytes = 0;
    if (progress.kind == TransferKind::Send) {
        // An empty image has nothing to fill; its bar stays empty, not busy.
        bar->setRange(0, std::max(progress.recordsTotal, 1));
        bar->setValue(std::min(progress.recordsSent, std::max(progress.recordsTotal, 1)));
        count->setText(QStringLiteral("%1 of %2 records")
                           .arg(locale.toString(progress.recordsSent), locale.toString(progress.recordsTotal)));
        bytes = static_cast<qint64>(progress.recordsSent) * IMAGE_RECORD_SIZE;
    } else {
        // No total is known before the radio falls silent: a busy bar.
        bar->setRange(0, 0);
        count->setText(QStringLiteral("%1 bytes").arg(locale.toString(progress.bytesReceived)));
        bytes = progress.bytesReceived;
    }
    const qint64 ms = clock.isValid() ? clock.elapsed() : 0;
    time->setText(QStringLiteral("%1 elapsed, %2").arg(FormatElapsed(ms), FormatRate(bytes, ms)));
}

void CTransferProgressDlg::Finish()
{
    hide();
}

void CTransferProgressDlg::reject()
{
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
    return QStringLiteral("%1 bytes/s").arg(QLocale().toString(bytes * 1000 / ms));
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
