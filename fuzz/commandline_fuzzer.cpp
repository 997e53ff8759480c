// The command interpreter's reading of a line: the word and its number, as the serial line and
// TCP deliver it (one byte per character) and as a DDE execute delivers it (UTF-8).
#include "fuzzcheck.h"

#include "commandline.h"
#include "text.h"

#include <QByteArray>
#include <QString>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <optional>

namespace {

constexpr InstrumentState kStates[] = {InstrumentState::Off, InstrumentState::Idle, InstrumentState::Paused,
                                       InstrumentState::Analyzing};

bool isBlank(QChar character)
{
    return character == QLatin1Char(' ') || character == QLatin1Char('\t');
}

// The value of a decimal number text worked out independently of the interpreter: blanks
// around it, an optional sign, digits with an optional point and an exponent, nothing else.
std::optional<double> decimalValue(const QString &text)
{
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && isBlank(text.at(first)))
        ++first;
    while (last > first && isBlank(text.at(last - 1)))
        --last;
    if (first == last)
        return std::nullopt;
    QByteArray ascii;
    for (const QChar character : QStringView(text).mid(first, last - first)) {
        const char16_t code = character.unicode();
        if (code > 0x7f || !QByteArrayView("0123456789+-.eE").contains(char(code)))
            return std::nullopt;
        ascii.append(char(code));
    }
    // strtod would take "0x..", "inf" and "nan" too; none of them gets past the check above.
    char *end = nullptr;
    const double value = std::strtod(ascii.constData(), &end);
    if (end != ascii.constData() + ascii.size())
        return std::nullopt;
    return value;
}

void checkNumber(const CommandLine &command, const QString &rest)
{
    const std::optional<double> value = decimalValue(rest);
    if (!value) {
        FUZZ_EXPECT(command.number == 0 && !command.numberOverflows);
        return;
    }
    const double rounded = std::nearbyint(*value);
    if (!(rounded >= std::numeric_limits<qint16>::min() && rounded <= std::numeric_limits<qint16>::max())) {
        FUZZ_EXPECT(command.numberOverflows && command.number == 0);
        return;
    }
    FUZZ_EXPECT(!command.numberOverflows && command.number == qint16(rounded));
}

void checkLine(const QString &line)
{
    const std::optional<CommandLine> command = parseCommandLine(line);
    const QString trimmed = platform::trimSpaces(line);
    FUZZ_EXPECT(command.has_value() == !trimmed.isEmpty());
    if (!command)
        return;

    const qsizetype space = trimmed.indexOf(QLatin1Char(' '));
    const QString word = space < 0 ? trimmed : trimmed.left(space);
    // Upper-casing changes letters, one character for one character: a word keeps its length.
    FUZZ_EXPECT(command->word.size() == word.size());
    FUZZ_EXPECT(command->word.compare(word, Qt::CaseInsensitive) == 0);
    FUZZ_EXPECT(command->tooLong == (trimmed.size() > kMaximumCommandLength));
    checkNumber(*command, space < 0 ? QString() : trimmed.mid(space + 1));

    for (const InstrumentState state : kStates) {
        const Transition transition = transitionFor(state, command->word);
        if (transition.resultCode != ResultCode::Success) {
            FUZZ_EXPECT(transition.resultCode == ResultCode::IllegalCommand);
            FUZZ_EXPECT(transition.operation == StateOperation::None && transition.next == state);
        }
        const QString reply = replyText(transition.resultCode, command->word);
        FUZZ_EXPECT(transition.resultCode == ResultCode::Success ? reply == QLatin1String("OK")
                                                                 : reply.endsWith(command->word));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    checkLine(QString::fromLatin1(bytes));
    checkLine(QString::fromUtf8(bytes));
    return 0;
}
