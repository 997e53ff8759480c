// frmMain: the command interpreter, the instrument states and the three run buttons.

#include "core/frmMain.h"

#include "errors.h"
#include "periodictimer.h"
#include "statusbar.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

namespace {
// Link modes of the window's DDE source facility.
constexpr int kLinkModeNone = 0;
constexpr int kLinkModeSource = 1;
} // namespace

QString frmMain::ExecuteCommand(const QString &commandLine)
{
    const std::optional<CommandLine> command = parseCommandLine(commandLine);
    if (!command)
        return QString();

    txtInput->setText(command->word);

    Transition transition = transitionFor(m_instrumentState, command->word);
    const bool analyzeWithNumber = transition.operation == StateOperation::StartAnalysis;
    // A line too long to hold, or an ANALYZE count beyond 16 bits, is refused like a word
    // the state does not take; the panel stays untouched.
    if (command->tooLong || (analyzeWithNumber && command->numberOverflows))
        transition = Transition{StateOperation::None, m_instrumentState, ResultCode::IllegalCommand};

    qint16 resultCode = transition.resultCode;
    if (transition.operation != StateOperation::None) {
        if (transition.operation == StateOperation::StartAnalysis && command->number > 0)
            PresetFiniteRun(command->number);
        resultCode = RunStateOperation(transition.operation);
    }
    if (resultCode == ResultCode::Success)
        m_instrumentState = transition.next;

    lblState->setText(stateLabelText(m_instrumentState));
    return FormatReply(resultCode, command->word);
}

QString frmMain::FormatReply(qint16 resultCode, const QString &commandWord)
{
    const QString reply = replyText(resultCode, commandWord);
    WriteOutput(reply);
    return reply;
}

qint16 frmMain::RunStateOperation(StateOperation operation)
{
    switch (operation) {
    case StateOperation::None: return ResultCode::Success;
    case StateOperation::TurnOn: return TurnOn();
    case StateOperation::TurnOff: return TurnOff();
    case StateOperation::StartAnalysis: return StartAnalysis();
    case StateOperation::PauseAnalysis: return PauseAnalysis();
    case StateOperation::ResumeAnalysis: return ResumeAnalysis();
    case StateOperation::AbortAnalysis: return AbortAnalysis();
    case StateOperation::StopAnalysis: return StopAnalysis();
    }
    return ResultCode::Success;
}

void frmMain::PresetFiniteRun(qint16 pointsPerLine)
{
    selectOption(opFinite, &frmMain::opFinite_Click);
    txtNumPts->setText(QStringLiteral("1"));
    txtPtsPerLine->setText(QString::number(pointsPerLine));
}

qint16 frmMain::TurnOn()
{
    fraDataGeneration->setEnabled(true);
    imgOn->setVisible(true);
    imgOff->setVisible(false);
    btnOnOff->setText(QStringLiteral("Off"));
    ResetRS232Port();
    ResetNetworkConnection();
    setLinkMode(kLinkModeSource);
    return ResultCode::Success;
}

qint16 frmMain::TurnOff()
{
    tmrDataGen->setEnabled(false);
    CloseRS232Port();
    TerminateNetworkConnection();
    setLinkMode(kLinkModeNone);
    m_files.CloseAll();
    btnStartAbort->setText(QStringLiteral("Start"));
    btnPauseResume->setText(QStringLiteral("Pause"));
    btnOnOff->setText(QStringLiteral("On"));
    imgOff->setVisible(true);
    imgOn->setVisible(false);
    fraDataGeneration->setEnabled(false);
    setStatusText(QString());
    return ResultCode::Success;
}

qint16 frmMain::StartAnalysis()
{
    // A run that cannot start (a setting out of range, a data file that cannot be opened)
    // leaves the instrument Idle; the reply carries the error's number and the status bar
    // says why, without a box that would wait on the instrument's screen.
    try {
        ReadGenerationSettings();
        if (DataSource == 2) {
            DataFileNum = qint16(m_files.FreeFile());
            m_files.OpenForInput(DataFileNum, dataFilePath());
        }
    } catch (const platform::RuntimeError &failure) {
        setStatusText(QStringLiteral("Not started: ") + failure.description());
        return qint16(failure.number());
    }
    tmrDataGen->setEnabled(true);
    setStatusText(QStringLiteral("Running ..."));
    btnStartAbort->setText(QStringLiteral("Abort"));
    return ResultCode::Success;
}

qint16 frmMain::PauseAnalysis()
{
    btnPauseResume->setText(QStringLiteral("Resume"));
    setStatusText(QStringLiteral("Paused!"));
    return ResultCode::Success;
}

qint16 frmMain::ResumeAnalysis()
{
    btnPauseResume->setText(QStringLiteral("Pause"));
    setStatusText(QStringLiteral("Resumed!"));
    return ResultCode::Success;
}

qint16 frmMain::AbortAnalysis()
{
    tmrDataGen->setEnabled(false);
    m_files.CloseAll();
    btnStartAbort->setText(QStringLiteral("Start"));
    btnPauseResume->setText(QStringLiteral("Pause"));
    setStatusText(QStringLiteral("Aborted!"));
    return ResultCode::Success;
}

qint16 frmMain::StopAnalysis()
{
    tmrDataGen->setEnabled(false);
    m_files.CloseAll();
    btnStartAbort->setText(QStringLiteral("Start"));
    setStatusText(QStringLiteral("Stopped!"));
    return ResultCode::Success;
}

void frmMain::btnOnOff_Click()
{
    ExecuteCommand(m_instrumentState == InstrumentState::Off ? QStringLiteral("ON") : QStringLiteral("OFF"));
}

void frmMain::btnStartAbort_Click()
{
    ExecuteCommand(m_instrumentState == InstrumentState::Idle ? QStringLiteral("Analyze") : QStringLiteral("Abort"));
}

void frmMain::btnPauseResume_Click()
{
    ExecuteCommand(m_instrumentState == InstrumentState::Paused ? QStringLiteral("Resume") : QStringLiteral("Pause"));
}

void frmMain::setStatusText(const QString &text)
{
    sbrMessage->setSimpleText(text);
}
