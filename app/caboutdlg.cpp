#include "caboutdlg.h"

#include "dialogunits.h"
#include "resourceids.h"

#include <QIcon>
#include <QLabel>
#include <QPushButton>

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent)
{
    setObjectName(QString::number(IDD_ABOUTBOX));
    setWindowTitle(QStringLiteral("About Ostrelle"));
    setFont(dlu::TemplateFont());
    setFixedSize(dlu::X(235), dlu::Y(55));

    auto* icon = new QLabel(this);
    icon->setPixmap(QIcon(QStringLiteral(":/icons/icon32.png")).pixmap(32, 32));
    icon->setGeometry(dlu::Rect(11, 17, 20, 20));

    auto* name = new QLabel(QStringLiteral("Ostrelle Version 1.0"), this);
    name->setTextFormat(Qt::PlainText);
    name->setGeometry(dlu::Rect(40, 10, 119, 8));

    auto* notice = new QLabel(QStringLiteral("\u00A9 2026 the Ostrelle developers"), this);
    notice->setTextFormat(Qt::PlainText);
    notice->setGeometry(dlu::Rect(40, 25, 119, 8));

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QString::number(IDOK));
    ok->setGeometry(dlu::Rect(178, 7, 50, 14));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}
