#include "panel/userprompts.h"

#include <QCoreApplication>
#include <QFileDialog>
#include <QHeaderView>
#include <QMessageBox>
#include <QTextDocument>
#include <QTreeView>

QString KeepPathsWhole(const QString& text)
{
    // A line may break after any slash, which tore "/dev/ttyUSB0" into
    // "/dev/" and "ttyUSB0" on two lines. A word joiner after each slash
    // inside a word keeps a path on one line; it is invisible, and spaces
    // still break. Rich text (a table) is left as it is.
    if (Qt::mightBeRichText(text)) {
        return text;
    }
    QString kept;
    kept.reserve(text.size() + text.count(QLatin1Char('/')));
    for (qsizetype i = 0; i < text.size(); ++i) {
        kept += text[i];
        if (text[i] == QLatin1Char('/') && i + 1 < text.size() && !text[i + 1].isSpace()) {
            kept += QChar(0x2060);
        }
    }
    return kept;
}

namespace {

// A message box of the program's: captioned with its name, paths whole.
int ShowMessage(QWidget* parent, QMessageBox::Icon icon, const QString& text, const QString& informative,
                QMessageBox::StandardButtons buttons)
{
    QMessageBox box(icon, QCoreApplication::applicationName(), KeepPathsWhole(text), buttons, parent);
    box.setInformativeText(KeepPathsWhole(informative));
    if (buttons.testFlag(QMessageBox::No)) {
        box.setDefaultButton(QMessageBox::No);
    }
    return box.exec();
}

} // namespace

void QtUserPrompts::Warn(const QString& text, const QString& informative)
{
    ShowMessage(parent, QMessageBox::Warning, text, informative, QMessageBox::Ok);
}

void QtUserPrompts::Inform(const QString& text, const QString& informative)
{
    ShowMessage(parent, QMessageBox::Information, text, informative, QMessageBox::Ok);
}

bool QtUserPrompts::Confirm(const QString& text, const QString& informative)
{
    return ShowMessage(parent, QMessageBox::Question, text, informative, QMessageBox::Yes | QMessageBox::No) ==
           QMessageBox::Yes;
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

QString QtUserPrompts::ExistingDirectory(const QString& title, const QString& directory)
{
    return QFileDialog::getExistingDirectory(parent, title, directory);
}
