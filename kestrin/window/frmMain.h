#pragma once

#include "generationsettings.h"
#include "instrumentsettings.h"

#include "commandline.h"

#include "filedialog.h"

#include <QMainWindow>
#include <QPointer>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class CommandChannel;
class Instrument;
class InstrumentChannels;
class frmCommSettings;
class frmNetworkSettings;
class frmXmitFormats;

namespace platform {
class DdeWindowItems;
class StatusBar;
} // namespace platform

// The instrument's main window: the front panel over the instrument and its command
// channels. It shows what the instrument tells, turns the panel's buttons into commands,
// hands the panel's generation settings to the instrument and the dialogs' settings to the
// channels. Its members are defined by topic: frmmain_window.cpp (start-up, menus, About,
// closing), frmmain_panel.cpp (the generation panel) and frmmain_instrument.cpp (what the
// instrument and the channels show, and the settings the dialogs apply).
class frmMain : public QMainWindow, public InstrumentSettings, public GenerationControls
{
    Q_OBJECT

public:
    explicit frmMain(QWidget *parent = nullptr);
    ~frmMain() override;

    // The settings the dialogs write; re-applied by them on OK, whatever the instrument state.
    void setTokenSep(const QString &separator) override;
    void setLineTerm(const QString &terminator) override;
    void setCommPort(qint16 port) override;
    void setCommSettings(const QString &settings) override;
    void setCommEnabled(bool enabled) override;
    void ResetRS232Port() override;
    bool networkEnabled() const override;
    void setNetworkEnabled(bool enabled) override;
    qint16 serverPort() const override;
    void setServerPort(qint16 port) override;
    void ResetNetworkConnection() override;

    // The one path of every command: returns the reply line (empty for a blank line).
    QString ExecuteCommand(const QString &commandLine);
    InstrumentState instrumentState() const;

    // The panel's generation settings, read by the instrument.
    GenerationSettings generationSettings() const override;
    bool absoluteValue() const override;
    void presetFiniteRun(qint16 pointsPerLine) override;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    // Start-up, menus and About (frmmain_window.cpp)
    void createControls();
    void createGenerationPanel();
    void createMenus();
    void Form_Load();
    void Form_QueryUnload();
    void mnuFileExit_Click();
    void mnuEditXmitFormat_Click();
    void mnuEditRS232PortSettings_Click();
    void mnuEditNetworkSettings_Click();
    void mnuHelpAbout_Click();

    // What the instrument and its channels show (frmmain_instrument.cpp)
    void connectInstrument();
    void connectChannel(const CommandChannel *channel);
    void showOperation(StateOperation operation);
    void btnOnOff_Click();
    void btnStartAbort_Click();
    void btnPauseResume_Click();
    void setStatusText(const QString &text);

    // The generation panel (frmmain_panel.cpp)
    void SetGenerationDefaults();
    void opRandom_Click();
    void opFile_Click();
    void opContinuous_Click();
    void opFinite_Click();
    void opFlat_Click();
    void opGaussian_Click();
    void btnFileName_Click();
    void selectOption(QRadioButton *option, void (frmMain::*handler)());
    QString dataFilePath() const;

    // The instrument and its channels, children of the window.
    Instrument *m_instrument = nullptr;
    InstrumentChannels *m_channels = nullptr;
    // Serves the window's text boxes as DDE items and shows the items' values in them.
    platform::DdeWindowItems *m_ddeItems = nullptr;

    // Controls
    QLabel *lblInput = nullptr;
    QLineEdit *txtInput = nullptr;
    QLabel *lblOutput = nullptr;
    QLineEdit *txtOutput = nullptr;
    QGroupBox *fraDataGeneration = nullptr;
    QLabel *lblStateLabel = nullptr;
    QLabel *lblState = nullptr;
    QPushButton *btnOnOff = nullptr;
    QLabel *imgOff = nullptr;
    QLabel *imgOn = nullptr;
    platform::StatusBar *sbrMessage = nullptr;
    QPushButton *btnStartAbort = nullptr;
    QPushButton *btnPauseResume = nullptr;
    QRadioButton *opRandom = nullptr;
    QRadioButton *opFile = nullptr;
    QCheckBox *chkPointNumber = nullptr;
    QPushButton *btnFileName = nullptr;
    QLabel *lblFileName = nullptr;
    QLineEdit *txtFileName = nullptr;
    QGroupBox *fraPoints = nullptr;
    QLineEdit *txtFrequency = nullptr;
    QLineEdit *txtPtsPerLine = nullptr;
    QRadioButton *opContinuous = nullptr;
    QRadioButton *opFinite = nullptr;
    QLineEdit *txtNumPts = nullptr;
    QGroupBox *fraProfile = nullptr;
    QRadioButton *opFlat = nullptr;
    QLineEdit *txtMin = nullptr;
    QLineEdit *txtMax = nullptr;
    QRadioButton *opGaussian = nullptr;
    QLineEdit *txtMean = nullptr;
    QLineEdit *txtStDev = nullptr;
    QCheckBox *chkAbsVal = nullptr;
    platform::CommonDialog dlgFile;
    // Full path of the file chosen in the dialog while the box still shows its title.
    QString m_chosenDataFile;

    // The settings dialogs, loaded on first use.
    QPointer<frmXmitFormats> m_xmitFormats;
    QPointer<frmCommSettings> m_commSettings;
    QPointer<frmNetworkSettings> m_networkSettings;
};
