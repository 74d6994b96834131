#include "panel/caboutdlg.h"

#include "panel/dialogunits.h"
#include "config/programinfo.h"
#include "panel/resourceids.h"

#include <QDir>
#include <QIcon>
#include <QLabel>
#include <QPushButton>

CAboutDlg::CAboutDlg(const QString& keptFolder, QWidget* parent) : QDialog(parent)
{
    setObjectName(QString::number(IDD_ABOUTBOX));
    setWindowTitle(QStringLiteral("About Ostrelle"));
    setFont(dlu::TemplateFont());
    setFixedSize(dlu::X(235), dlu::Y(55));

    auto* icon = new QLabel(this);
    icon->setPixmap(QIcon(QStringLiteral(":/icons/icon32.png")).pixmap(32, 32));
    icon->setGeometry(dlu::Rect(11, 17, 20, 20));

    auto* name = new QLabel(
        QString::fromLatin1(ABOUT_VERSION_TEXT), this);
    name->setTextFormat(Qt::PlainText);
    name->setGeometry(dlu::Rect(40, 10, 119, 8));

    auto* notice = new QLabel(QStringLiteral("\u00A9 2026 the Ostrelle developers"), this);
    notice->setTextFormat(Qt::PlainText);
    notice->setGeometry(dlu::Rect(40, 25, 119, 8));

    // Which folder holds Ostrelle.cfg and ports/ differs between a build
    // folder and an installed program; a user looking for them starts here.
    if (!keptFolder.isEmpty()) {
        auto* folder = new QLabel(this);
        folder->setObjectName(QStringLiteral("keptFolder"));
        folder->setTextFormat(Qt::PlainText);
        folder->setGeometry(dlu::Rect(40, 38, 188, 8));
        folder->setText(FolderLine(keptFolder, folder->fontMetrics(), folder->width()));
        folder->setToolTip(QDir::toNativeSeparators(keptFolder));
    }

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QString::number(IDOK));
    ok->setGeometry(dlu::Rect(178, 7, 50, 14));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

QString CAboutDlg::FolderLine(const QString& keptFolder, const QFontMetrics& metrics, int width)
{
    QString shown = QDir::fromNativeSeparators(keptFolder);
    const QString home = QDir::homePath();
    if (home.size() > 1 && (shown == home || shown.startsWith(home + QLatin1Char('/')))) {
        shown = QStringLiteral("~") + shown.mid(home.size());
    }
    const QString lead = QStringLiteral("Settings in ");
    return lead + metrics.elidedText(QDir::toNativeSeparators(shown), Qt::ElideMiddle,
                                     width - metrics.horizontalAdvance(lead));
}
