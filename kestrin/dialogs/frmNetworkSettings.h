#pragma once

#include <QDialog>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class InstrumentSettings;

// "Network Settings": whether the instrument accepts a TCP client and on which port it
// listens. Loaded once and afterwards only hidden, so its controls keep what the user left
// in them; OK writes into the instrument's settings and re-opens its socket at once.
class frmNetworkSettings : public QDialog
{
    Q_OBJECT

public:
    frmNetworkSettings(InstrumentSettings &settings, QWidget *parent);

    // Writes the controls into the settings and resets the network connection. A port
    // text beyond the 16-bit range is refused with a message; nothing is applied then and
    // false is returned.
    bool ApplyNetworkSettings();

private:
    void Form_Load();
    void btnOK_Click();
    void btnCancel_Click();

    InstrumentSettings &m_settings;
    QCheckBox *chkEnabled = nullptr;
    QLabel *lblServerPort = nullptr;
    QLineEdit *txtServerPort = nullptr;
    QPushButton *btnOK = nullptr;
    QPushButton *btnCancel = nullptr;
};
