#include "commandline.h"

#include "errors.h"
#include "numbers.h"
#include "text.h"

namespace {

const QString kOn = QStringLiteral("ON");
const QString kOff = QStringLiteral("OFF");
const QString kAnalyze = QStringLiteral("ANALYZE");
const QString kPause = QStringLiteral("PAUSE");
const QString kResume = QStringLiteral("RESUME");
const QString kAbort = QStringLiteral("ABORT");

} // namespace

std::optional<CommandLine> parseCommandLine(const QString &line)
{
    const QString normalized = platform::toUpperLatin1(platform::trimSpaces(line));
    if (normalized.isEmpty())
        return std::nullopt;

    CommandLine command;
    command.tooLong = normalized.size() > kMaximumCommandLength;
    const qsizetype space = normalized.indexOf(QLatin1Char(' '));
    command.word = space < 0 ? normalized : normalized.left(space);
    if (space >= 0) {
        const QString rest = normalized.mid(space + 1);
        if (platform::readsAsNumber(rest)) {
            try {
                command.number = platform::toInteger16(rest);
            } catch (const platform::RuntimeError &) {
                command.numberOverflows = true;
            }
        }
    }
    return command;
}

Transition transitionFor(InstrumentState state, const QString &word)
{
    using S = InstrumentState;
    using Op = StateOperation;
    const Transition refused{Op::None, state, ResultCode::IllegalCommand};

    switch (state) {
    case S::Off:
        if (word == kOn)
            return {Op::TurnOn, S::Idle, ResultCode::Success};
        return refused;
    case S::Idle:
        if (word == kAnalyze)
            return {Op::StartAnalysis, S::Analyzing, ResultCode::Success};
        if (word == kAbort || word == kPause)
            return {Op::None, S::Idle, ResultCode::Success};
        if (word == kOff)
            return {Op::TurnOff, S::Off, ResultCode::Success};
        return refused;
    case S::Analyzing:
        if (word == kPause)
            return {Op::PauseAnalysis, S::Paused, ResultCode::Success};
        if (word == kAbort)
            return {Op::StopAnalysis, S::Idle, ResultCode::Success};
        if (word == kOff)
            return {Op::TurnOff, S::Off, ResultCode::Success};
        return refused;
    case S::Paused:
        if (word == kResume)
            return {Op::ResumeAnalysis, S::Analyzing, ResultCode::Success};
        if (word == kAbort)
            return {Op::AbortAnalysis, S::Idle, ResultCode::Success};
        if (word == kOff)
            return {Op::TurnOff, S::Off, ResultCode::Success};
        return refused;
    }
    return refused;
}

QString replyText(qint16 resultCode, const QString &word)
{
    if (resultCode == ResultCode::Success)
        return QStringLiteral("OK");
    QString reply = QStringLiteral("Error ") + QString::number(resultCode) + QStringLiteral(": ");
    if (resultCode == ResultCode::IllegalCommand)
        return reply + QStringLiteral("Illegal Command - ") + (word.isEmpty() ? QStringLiteral("(Unknown)") : word);
    return reply + QStringLiteral("Result code not understood");
}

QString stateLabelText(InstrumentState state)
{
    switch (state) {
    case InstrumentState::Off: return QStringLiteral("Off");
    case InstrumentState::Idle: return QStringLiteral("Idle");
    case InstrumentState::Paused: return QStringLiteral("Paused");
    case InstrumentState::Analyzing: return QStringLiteral("Analyzing ...");
    }
    return QString();
}
