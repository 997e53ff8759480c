#pragma once

#include <QString>
#include <QtGlobal>
#include <optional>

// The instrument's command language, free of any window: normalizing a command line, the
// transition table of the four states and the reply texts.

enum class InstrumentState : qint32 { Off = 0, Idle = 1, Paused = 2, Analyzing = 3 };

namespace ResultCode {
constexpr qint16 Success = 0;
constexpr qint16 IllegalCommand = 2;
} // namespace ResultCode

// What one command line came to: its result code beside the reply line that tells it. The
// channels decide by the code; the text is only what they send or show.
struct CommandResult
{
    // ResultCode::Success, ResultCode::IllegalCommand or the number of the error that kept a
    // run from starting; none for a blank line, which is no command.
    std::optional<qint16> resultCode;
    QString reply;

    bool succeeded() const { return resultCode == ResultCode::Success; }
};

// The longest command line the interpreter takes; longer lines are refused.
constexpr int kMaximumCommandLength = 32767;

struct CommandLine
{
    QString word;                 // upper case, the text before the first space
    qint16 number = 0;            // the number after the word; 0 when absent or not a number
    bool numberOverflows = false; // a number was given but lies beyond 16 bits
    bool tooLong = false;         // the normalized line exceeds kMaximumCommandLength
};

// Trims spaces (only U+0020) and upper-cases the line one character at a time (see
// platform::toUpperLatin1), then splits off the word and its number. A blank line gives no
// command.
std::optional<CommandLine> parseCommandLine(const QString &line);

enum class StateOperation {
    None,
    TurnOn,
    TurnOff,
    StartAnalysis,
    PauseAnalysis,
    ResumeAnalysis,
    AbortAnalysis,
    StopAnalysis,
};

struct Transition
{
    StateOperation operation = StateOperation::None;
    InstrumentState next = InstrumentState::Off;
    qint16 resultCode = ResultCode::Success;
};

// What a command word does in a state: the operation to run, the state after it succeeded
// and the result code.
Transition transitionFor(InstrumentState state, const QString &word);

// "OK", "Error 2: Illegal Command - <word>" ("(Unknown)" without a word) or
// "Error <n>: Result code not understood".
QString replyText(qint16 resultCode, const QString &word = QString());

// The text of the State label: "Off", "Idle", "Paused", "Analyzing ...".
QString stateLabelText(InstrumentState state);
