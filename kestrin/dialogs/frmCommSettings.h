#pragma once

#include <QDialog>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class InstrumentSettings;

// "Communication Settings": whether the instrument uses its serial port, which port and its
// line settings. The lists offer fixed entries whose item values build the settings text, so
// every text it produces is well formed. Loaded once and afterwards only hidden, so its
// controls keep what the user left in them; OK writes into the instrument's settings and re-applies
// the port at once, whatever the instrument state. Below the other controls it shows the
// device of the chosen port, so the user sees where to connect a client.
class frmCommSettings : public QDialog
{
    Q_OBJECT

public:
    frmCommSettings(InstrumentSettings &settings, QWidget *parent);

    void ApplyRS232Settings();

protected:
    void showEvent(QShowEvent *event) override;

private:
    void Form_Load();
    void FillRS232Lists();
    void btnOK_Click();
    void btnCancel_Click();
    void ShowPortDevice();

    InstrumentSettings &m_settings;
    QCheckBox *chkEnabled = nullptr;
    QLabel *lblPortNumber = nullptr;
    QComboBox *cmbCommPort = nullptr;
    QLabel *lblBaudRate = nullptr;
    QComboBox *cmbBaudRate = nullptr;
    QLabel *lblParity = nullptr;
    QComboBox *cmbParity = nullptr;
    QLabel *lblDataBits = nullptr;
    QComboBox *cmbDataBits = nullptr;
    QLabel *lblStopBits = nullptr;
    QComboBox *cmbStopBits = nullptr;
    QLabel *lblDevice = nullptr;
    QLineEdit *txtDevice = nullptr;
    QPushButton *btnOK = nullptr;
    QPushButton *btnCancel = nullptr;
};
