#pragma once

#include <QDialog>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class frmMain;

// "Network Settings": whether the instrument accepts a TCP client and on which port it
// listens. Loaded once and afterwards only hidden, so its controls keep what the user left
// in them; OK writes into the main window and re-opens its socket at once.
class frmNetworkSettings : public QDialog
{
    Q_OBJECT

public:
    explicit frmNetworkSettings(frmMain *mainWindow);

    // Writes the controls into the main window and resets its network connection. A port
    // text beyond the 16-bit range is refused with a message; nothing is applied then and
    // false is returned.
    bool ApplyNetworkSettings();

private:
    void Form_Load();
    void btnOK_Click();
    void btnCancel_Click();

    frmMain *m_mainWindow;
    QCheckBox *chkEnabled = nullptr;
    QLabel *lblServerPort = nullptr;
    QLineEdit *txtServerPort = nullptr;
    QPushButton *btnOK = nullptr;
    QPushButton *btnCancel = nullptr;
};
