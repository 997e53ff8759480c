#include "instrument.h"

#include "modellogging.h"

#include "errors.h"
#include "periodictimer.h"

#include <QScopeGuard>

namespace {
const QString kAbortCommand = QStringLiteral("Abort");
}

Instrument::Instrument(GenerationControls &controls, QObject *parent)
    : QObject(parent)
    , m_controls(controls)
    , tmrDataGen(new platform::PeriodicTimer(this))
{
    tmrDataGen->setObjectName(QStringLiteral("tmrDataGen"));
    tmrDataGen->setInterval(DataGenerator::kDefaultInterval);
    connect(tmrDataGen, &platform::PeriodicTimer::timeout, this, &Instrument::tmrDataGen_Timer);
}

Instrument::~Instrument() = default;

CommandResult Instrument::ExecuteCommand(const QString &commandLine)
{
    const std::optional<CommandLine> command = parseCommandLine(commandLine);
    if (!command)
        return CommandResult();

    qCDebug(lcCommands) << "command" << command->word << "in state" << stateLabelText(m_instrumentState);
    emit commandReceived(command->word);

    Transition transition = transitionFor(m_instrumentState, command->word);
    const bool analyzeWithNumber = transition.operation == StateOperation::StartAnalysis;
    // A line too long to hold, or an ANALYZE count beyond 16 bits, is refused like a word
    // the state does not take; the panel stays untouched.
    if (command->tooLong || (analyzeWithNumber && command->numberOverflows))
        transition = Transition{StateOperation::None, m_instrumentState, ResultCode::IllegalCommand};

    qint16 resultCode = transition.resultCode;
    if (transition.operation != StateOperation::None) {
        if (transition.operation == StateOperation::StartAnalysis && command->number > 0)
            m_controls.presetFiniteRun(command->number);
        resultCode = RunStateOperation(transition.operation);
    }
    if (resultCode == ResultCode::Success)
        m_instrumentState = transition.next;

    emit stateChanged(m_instrumentState);
    return FormatReply(resultCode, command->word);
}

CommandResult Instrument::FormatReply(qint16 resultCode, const QString &commandWord)
{
    const QString reply = replyText(resultCode, commandWord);
    WriteOutput(reply);
    return {resultCode, reply};
}

void Instrument::WriteOutput(const QString &text)
{
    emit outputWritten(text);
}

qint16 Instrument::RunStateOperation(StateOperation operation)
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

qint16 Instrument::performed(StateOperation operation, const QString &status)
{
    emit operationPerformed(operation);
    emit statusMessage(status);
    return ResultCode::Success;
}

qint16 Instrument::TurnOn()
{
    // The channels open and report on the status bar themselves.
    emit operationPerformed(StateOperation::TurnOn);
    return ResultCode::Success;
}

qint16 Instrument::TurnOff()
{
    tmrDataGen->setEnabled(false);
    m_generator.closeFiles();
    return performed(StateOperation::TurnOff, QString());
}

void Instrument::ReadGenerationSettings()
{
    // A frequency read takes effect also when a later setting is refused.
    const auto applyInterval = qScopeGuard([this] { tmrDataGen->setInterval(m_generator.interval()); });
    m_generator.ReadGenerationSettings(m_controls.generationSettings());
}

qint16 Instrument::StartAnalysis()
{
    // A run that cannot start (a setting out of range, a data file that cannot be opened)
    // leaves the instrument Idle; the reply carries the error's number and the status bar
    // says why, without a box that would wait on the instrument's screen.
    try {
        ReadGenerationSettings();
        m_generator.openDataFile();
    } catch (const platform::RuntimeError &failure) {
        qCDebug(lcGenerator) << "run not started:" << failure.number() << failure.description();
        emit statusMessage(QStringLiteral("Not started: ") + failure.description());
        return qint16(failure.number());
    }
    tmrDataGen->setEnabled(true);
    return performed(StateOperation::StartAnalysis, QStringLiteral("Running ..."));
}

qint16 Instrument::PauseAnalysis()
{
    return performed(StateOperation::PauseAnalysis, QStringLiteral("Paused!"));
}

qint16 Instrument::ResumeAnalysis()
{
    return performed(StateOperation::ResumeAnalysis, QStringLiteral("Resumed!"));
}

qint16 Instrument::AbortAnalysis()
{
    tmrDataGen->setEnabled(false);
    m_generator.closeFiles();
    return performed(StateOperation::AbortAnalysis, QStringLiteral("Aborted!"));
}

qint16 Instrument::StopAnalysis()
{
    tmrDataGen->setEnabled(false);
    m_generator.closeFiles();
    return performed(StateOperation::StopAnalysis, QStringLiteral("Stopped!"));
}

void Instrument::SetGenerationDefaults()
{
    m_generator.SetGenerationDefaults();
    tmrDataGen->setInterval(m_generator.interval());
}

void Instrument::tmrDataGen_Timer()
{
    if (m_instrumentState == InstrumentState::Off || m_instrumentState == InstrumentState::Paused)
        return;

    std::optional<QString> line;
    try {
        line = m_generator.nextLine(m_controls.absoluteValue());
    } catch (const platform::RuntimeError &failure) {
        // A file that cannot be read, or a line too long to hand out, ends the run; the
        // reason goes to the status bar, not into a box that would wait on the screen.
        qCDebug(lcGenerator) << "run ended by" << failure.number() << failure.description();
        ExecuteCommand(kAbortCommand);
        emit statusMessage(QStringLiteral("Stopped: ") + failure.description());
        return;
    }
    if (!line) {
        qCDebug(lcGenerator) << "run complete";
        ExecuteCommand(kAbortCommand);
        return;
    }
    WriteOutput(*line);
    emit dataLine(*line);
}
