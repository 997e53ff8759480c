#pragma once

#include <QDialog>

class QComboBox;
class QLabel;
class QPushButton;
class InstrumentSettings;

// "Transmission Formats": the token separator of data lines and the line terminator of the
// serial and TCP channels. OK and Cancel only hide it, so it shows the user's last choice at
// the next opening; closing it from its frame unloads it, and the next opening starts afresh.
class frmXmitFormats : public QDialog
{
    Q_OBJECT

public:
    // Format codes, the item data of the list entries.
    enum FormatCode : qint32 {
        CodeCRLF = 8,
        CodeCR = 9,
        CodeLF = 10,
        CodeSpace = 5,
        CodeComma = 6,
        CodeTab = 7,
    };

    frmXmitFormats(InstrumentSettings &settings, QWidget *parent);

    // Writes the token separator, then the line terminator, into the settings.
    void ApplyFormats();

    // Esc is Cancel: the dialog only hides. (QDialog's own reject() closes it, which would
    // unload it.)
    void reject() override;

private:
    void Form_Load();
    void FillFormatLists();
    void btnOK_Click();
    void btnCancel_Click();

    InstrumentSettings &m_settings;
    QLabel *lblTokenSep = nullptr;
    QComboBox *cmbTokenSep = nullptr;
    QLabel *lblLineTerm = nullptr;
    QComboBox *cmbLineTerm = nullptr;
    QPushButton *btnOK = nullptr;
    QPushButton *btnCancel = nullptr;
};
