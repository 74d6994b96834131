#include "userprompts.h"

#include <QCoreApplication>
#include <QFileDialog>
#include <QMessageBox>

void QtUserPrompts::Warn(const QString& text, const QString& informative)
{
    QMessageBox box(QMessageBox::Warning, QCoreApplication::applicationName(), text, QMessageBox::Ok, parent);
    box.setInformativeText(informative);
    box.exec();
}

bool QtUserPrompts::Confirm(const QString& text, const QString& informative)
{
    QMessageBox box(QMessageBox::Question, QCoreApplication::applicationName(), text,
                    QMessageBox::Yes | QMessageBox::No, parent);
    box.setDefaultButton(QMessageBox::No);
    box.setInformativeText(informative);
    return box.exec() == QMessageBox::Yes;
}

namespace {

// Both file dialogs share their set-up; only the mode differs.
QString AskFileName(QWidget* parent, QFileDialog::AcceptMode mode, const QString& defaultSuffix,
                    const QString& filter)
{
    QFileDialog dialog(parent, QString(), QString(), filter);
    dialog.setAcceptMode(mode);
    dialog.setDefaultSuffix(defaultSuffix);
    dialog.setFileMode(mode == QFileDialog::AcceptOpen ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    // Asking before an existing file is overwritten is the save dialog's own
    // default; it is kept on explicitly so that no option set elsewhere drops it.
    dialog.setOption(QFileDialog::DontConfirmOverwrite, false);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return {};
    }
    return dialog.selectedFiles().constFirst();
}

} // namespace

QString QtUserPrompts::OpenFileName(const QString& defaultSuffix, const QString& filter)
{
    return AskFileName(parent, QFileDialog::AcceptOpen, defaultSuffix, filter);
}

QString QtUserPrompts::SaveFileName(const QString& defaultSuffix, const QString& filter)
{
    return AskFileName(parent, QFileDialog::AcceptSave, defaultSuffix, filter);
}
