#pragma once

#include <QDialog>

// The About box: the icon, the program's name and version and its legal
// notice, closed by OK, Esc or its close box.
class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};
