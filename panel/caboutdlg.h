#pragma once

#include <QDialog>
#include <QFontMetrics>
#include <QString>

// The About box: the icon, the program's name and version, its legal notice
// and the folder where it keeps its settings, closed by OK, Esc or its close
// box.
class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(const QString& keptFolder = {}, QWidget* parent = nullptr);

    // "Settings in ~/.config/ostrelle": the home folder shortened to ~, the
    // middle of a long path elided to fit `width` pixels of `metrics`.
    static QString FolderLine(const QString& keptFolder, const QFontMetrics& metrics, int width);
};
