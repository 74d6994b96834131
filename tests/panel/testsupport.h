#pragma once

// What the panel's and the application's tests share: the offscreen
// application, prompts that record instead of asking, and a scratch folder
// for the settings file.

#include "panel/cfrontpaneldlg.h"
#include "panel/userprompts.h"

#include <QApplication>
#include <QCoreApplication>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <functional>

// The application object the tests run in; made on first use.
template <typename App = QApplication>
App& TestApplication()
{
    static int argc = 1;
    static char name[] = "ostrelle_tests";
    static char* argv[] = {name, nullptr};
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    static App* app = new App(argc, argv);
    return *app;
}

class RecordingPrompts : public UserPrompts {
public:
    void Warn(const QString& text, const QString& informative = {}) override
    {
        warnings << text;
        informatives << informative;
    }
    QString OpenFileName(const QString& title, const QString& directory, const QString&,
                         const QString& filter) override
    {
        fileTitles << title;
        fileDirectories << directory;
        filters << filter;
        return openAnswer;
    }
    QString SaveFileName(const QString& title, const QString& directory, const QString&,
                         const QString& filter) override
    {
        fileTitles << title;
        fileDirectories << directory;
        filters << filter;
        return saveAnswer;
    }
    void Inform(const QString& text, const QString& informative = {}) override
    {
        notes << text;
        noteDetails << informative;
    }

    bool Confirm(const QString& text, const QString& = {}) override
    {
        questions << text;
        return confirmAnswer;
    }

    QStringList warnings;
    QStringList questions;
    bool confirmAnswer = false;
    QStringList informatives;
    QStringList filters;
    QStringList fileTitles;
    QStringList fileDirectories;
    QStringList notes;
    QStringList noteDetails;
    QString openAnswer;
    QString saveAnswer;
};

// Runs the event loop until `done` holds; false after timeoutMs.
inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 2000)
{
    return QTest::qWaitFor(done, timeoutMs);
}
