#pragma once

#include <QString>

class QWidget;

// Everything modal the front panel asks of the user. The dialog talks only to
// this interface, so a test answers it with no person present.
class UserPrompts {
public:
    virtual ~UserPrompts() = default;

    // A warning box with one OK button, captioned with the application's name.
    virtual void Warn(const QString& text, const QString& informative = {}) = 0;
    // A file to read, in a dialog titled `title` that opens in `directory`;
    // empty when the user cancels.
    virtual QString OpenFileName(const QString& title, const QString& directory, const QString& defaultSuffix,
                                 const QString& filter) = 0;
    // A file to write, asking before an existing one is overwritten; empty
    // when the user cancels.
    virtual QString SaveFileName(const QString& title, const QString& directory, const QString& defaultSuffix,
                                 const QString& filter) = 0;
    // A folder that exists, in a dialog titled `title` that opens in
    // `directory`; empty when the user cancels.
    virtual QString ExistingDirectory(const QString& title, const QString& directory)
    {
        (void)title;
        (void)directory;
        return {};
    }
    // Something the user should know, with one OK button. The informative
    // text may be rich text (a table).
    virtual void Inform(const QString& text, const QString& informative = {})
    {
        (void)text;
        (void)informative;
    }
    // A question with Yes and No, No the default; true for Yes. Prompts that
    // cannot ask answer No, so nothing is replaced that the user did not see.
    virtual bool Confirm(const QString& text, const QString& informative = {})
    {
        (void)text;
        (void)informative;
        return false;
    }
};

// A message's plain text as a message box shows it: no line breaks inside a
// path.
QString KeepPathsWhole(const QString& text);

// The real prompts: message boxes and file dialogs over `parent`.
class QtUserPrompts : public UserPrompts {
public:
    explicit QtUserPrompts(QWidget* parent = nullptr) : parent(parent) {}

    void Warn(const QString& text, const QString& informative = {}) override;
    QString OpenFileName(const QString& title, const QString& directory, const QString& defaultSuffix,
                         const QString& filter) override;
    QString SaveFileName(const QString& title, const QString& directory, const QString& defaultSuffix,
                         const QString& filter) override;
    QString ExistingDirectory(const QString& title, const QString& directory) override;
    void Inform(const QString& text, const QString& informative = {}) override;
    bool Confirm(const QString& text, const QString& informative = {}) override;

private:
    QWidget* parent = nullptr;
};
