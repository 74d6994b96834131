#include "userprompts.h"

#include <QCoreApplication>
#include <QFileDialog>
#include <QHeaderView>
#include <QMessageBox>
#include <QTreeView>

void QtUserPrompts::Warn(const QString& text, const QString& informative)
{
    QMessageBox box(QMessageBox::Warning, QCoreApplication::applicationName(), text, QMessageBox::Ok, parent);
    box.setInformativeText(informative);
    box.exec();
}

void QtUserPrompts::Inform(const QString& text, const QString& informative)
{
    QMessageBox box(QMessageBox::Information, QCoreApplication::applicationName(), text, QMessageBox::Ok, parent);
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
QString AskFileName(QWidget* parent, QFileDialog::AcceptMode mode, const QString& title, const QString& directory,
                    const QString& defaultSuffix, const QString& filter)
{
    QFileDialog dialog(parent, title, directory, filter);
    dialog.setAcceptMode(mode);
    dialog.setDefaultSuffix(defaultSuffix);
    dialog.setFileMode(mode == QFileDialog::AcceptOpen ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    // Asking before an existing file is overwritten is the save dialog's own
    // default; it is kept on explicitly so that no option set elsewhere drops it.
    dialog.setOption(QFileDialog::DontConfirmOverwrite, false);
    // Where Qt draws the dialog itself, its list starts too narrow for the
    // sizes and dates of image files, which a user compares to pick the
    // right backup: the dialog opens wider, with those columns as wide as
    // what they hold and the name taking the rest.
    dialog.setViewMode(QFileDialog::Detail);
    if (auto* view = dialog.findChild<QTreeView*>()) {
        dialog.resize(dialog.sizeHint().expandedTo(QSize(760, 460)));
        QHeaderView* header = view->header();
        header->setStretchLastSection(false);
        header->setSectionResizeMode(0, QHeaderView::Stretch);
        for (int column = 1; column < header->count(); ++column) {
            header->setSectionResizeMode(column, QHeaderView::ResizeToContents);
        }
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return {};
    }
    return dialog.selectedFiles().constFirst();
}

} // namespace

QString QtUserPrompts::OpenFileName(const QString& title, const QString& directory, const QString& defaultSuffix,
                                    const QString& filter)
{
    return AskFileName(parent, QFileDialog::AcceptOpen, title, directory, defaultSuffix, filter);
}

QString QtUserPrompts::SaveFileName(const QString& title, const QString& directory, const QString& defaultSuffix,
                                    const QString& filter)
{
    return AskFileName(parent, QFileDialog::AcceptSave, title, directory, defaultSuffix, filter);
}
