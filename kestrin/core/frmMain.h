#pragma once

#include "channels/commandbuffer.h"
#include "core/commandline.h"
#include "core/gaussiansource.h"

#include "ddesourcehandler.h"
#include "filedialog.h"
#include "textfiles.h"

#include <QMainWindow>
#include <functional>
#include <QPointer>

class QAction;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class frmCommSettings;
class frmNetworkSettings;
class frmXmitFormats;

namespace platform {
class DdeSource;
class PeriodicTimer;
class SerialPortControl;
class SocketControl;
class StatusBar;
} // namespace platform

// The instrument's main window: front panel, command interpreter, data generator and the
// command channels. Its member definitions are split by topic over core/ and channels/.
class frmMain : public QMainWindow, public platform::DdeSourceHandler
{
    Q_OBJECT

public:
    explicit frmMain(QWidget *parent = nullptr);
    ~frmMain() override;

    // Settings the dialogs write (window.cpp, channels/); most are write-only.
    void setTokenSep(const QString &separator);
    void setLineTerm(const QString &terminator);
    void setCommPort(qint16 port);
    void setCommSettings(const QString &settings);
    void setCommEnabled(bool enabled);
    void setNetworkEnabled(bool enabled);
    bool networkEnabled() const { return NetworkEnabled; }
    void setServerPort(qint16 port);
    qint16 serverPort() const { return ServerPort; }

    // Re-applied by the settings dialogs on OK, whatever the instrument state.
    void ResetRS232Port();
    void ResetNetworkConnection();

    // The one path of every command: returns the reply line (empty for a blank line).
    QString ExecuteCommand(const QString &commandLine);
    InstrumentState instrumentState() const { return m_instrumentState; }

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    // Window start-up, menus and About (frmmain_window.cpp)
    void createControls();
    void createGenerationPanel();
    void createMenus();
    void Form_Load();
    void Form_QueryUnload();
    void SetRS232Defaults();
    void SetNetworkDefaults();
    void SetTransmissionFormatDefaults();
    void mnuFileExit_Click();
    void mnuEditXmitFormat_Click();
    void mnuEditRS232PortSettings_Click();
    void mnuEditNetworkSettings_Click();
    void mnuHelpAbout_Click();

    // Command interpreter and instrument states (frmmain_commands.cpp)
    QString FormatReply(qint16 resultCode, const QString &commandWord = QString());
    qint16 RunStateOperation(StateOperation operation);
    qint16 TurnOn();
    qint16 TurnOff();
    qint16 StartAnalysis();
    qint16 PauseAnalysis();
    qint16 ResumeAnalysis();
    qint16 AbortAnalysis();
    qint16 StopAnalysis();
    void PresetFiniteRun(qint16 pointsPerLine);
    void btnOnOff_Click();
    void btnStartAbort_Click();
    void btnPauseResume_Click();
    void setStatusText(const QString &text);

    // Data generator (frmmain_generator.cpp)
    void ReadGenerationSettings();
    void tmrDataGen_Timer();
    float GetGaussianDeviate();
    QString GenerateRandomValues();

    // Front-panel generation settings (frmmain_panel.cpp)
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

    // Channels (channels/)
    void CloseRS232Port();
    void ReturnRS232Result(const QString &text);

    // RS-232 channel (channels/frmmain_rs232.cpp)
    platform::SerialPortControl *createSerialChannel();
    void comKestrin_OnComm();
    QString GetRS232Command();
    QString TakeReceivedCommand(CommandLineBuffer &buffer, const QString &errorPrefix,
                                const std::function<QString()> &receive);

    void TerminateNetworkConnection();
    void ReturnNetworkResult(const QString &text);

    // TCP server channel (channels/frmmain_network.cpp)
    platform::SocketControl *createNetworkChannel();
    QString GetNetworkCommand();
    void sckServer_ConnectionRequest(qint32 requestID);
    void sckServer_DataArrival(qint32 bytesTotal);
    void sckServer_Close();
    void sckServer_Error(qint16 number, const QString &description);

    // DDE command channel (channels/frmmain_dde.cpp)
    void createDdeSource();
    void setLinkMode(int mode);
    void WriteOutput(const QString &text);
    void Form_LinkOpen(bool &cancel) override;
    void Form_LinkExecute(const QString &command, bool &cancel) override;
    void Form_LinkClose();
    platform::DdeSource *m_ddeSource = nullptr;

    // Instrument state and settings
    InstrumentState m_instrumentState = InstrumentState::Off;
    qint16 CommPort = 1;
    QString CommSettings;
    bool CommEnabled = true;
    bool NetworkEnabled = false;
    qint16 ServerPort = 0;
    QString TokenSep;
    QString LineTerm;
    // What each byte channel received and has not cut into commands yet; a channel's reset
    // or close empties its own.
    CommandLineBuffer m_rs232CommandBuffer;
    CommandLineBuffer m_networkCommandBuffer;
    // Output to the serial port failed and has not drained since: further failures are
    // not reported again.
    bool m_rs232OutputFailing = false;
    int m_linkMode = 1;

    // Generator members
    qint32 PointNumber = 0;
    bool IncludePointNumber = false;
    qint16 DataSource = 1;
    qint16 RunMode = 1;
    qint16 NumLines = 0;
    qint16 PtsPerLine = 0;
    QString DataFileName;
    qint16 DataFileNum = 0;
    qint16 Distribution = 2;
    float Mean = 0.0f;
    float GaussScale = 0.0f;
    float FlatMin = 0.0f;
    float FlatMax = 0.0f;
    UniformSource m_uniform;
    GaussianSource m_gaussian;
    platform::TextFiles m_files;
    // Full path of the file chosen in the dialog while the box still shows its title.
    QString m_chosenDataFile;

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
    platform::PeriodicTimer *tmrDataGen = nullptr;
    platform::CommonDialog dlgFile;
    // Created while the window is constructed, with its notification wired to comKestrin_OnComm.
    platform::SerialPortControl *comKestrin = createSerialChannel();
    QPointer<frmCommSettings> m_commSettings;
    // Created while the window is constructed, with its events wired to the handlers above.
    platform::SocketControl *sckServer = createNetworkChannel();

    // The settings dialogs of the channels, loaded on first use.
    QPointer<frmXmitFormats> m_xmitFormats;
    QPointer<frmNetworkSettings> m_networkSettings;
};
