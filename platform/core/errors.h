#pragma once

#include <QString>
#include <exception>

namespace platform {

// Error numbers the programs match on, with the platform's usual meanings.
namespace ErrorNumber {
constexpr int InvalidArgument = 5;
constexpr int Overflow = 6;
constexpr int DivisionByZero = 11;
constexpr int TypeMismatch = 13;
constexpr int BadFileNumber = 52;
constexpr int FileNotFound = 53;
constexpr int FileAlreadyOpen = 55;
constexpr int DeviceIO = 57;
constexpr int InputPastEnd = 62;
constexpr int PermissionDenied = 70;
constexpr int PathFileAccess = 75;
constexpr int PathNotFound = 76;
constexpr int InvalidPropertyValue = 380;
constexpr int DialogCancelled = 32755;
} // namespace ErrorNumber

// A failure as the programs report it: a number and a description.
struct Error
{
    int number = 0;
    QString description;

    // The standard description of a well-known error number.
    static Error fromNumber(int number);
    // "prefix" followed by "<number>: <description>", the shape of every failure message.
    QString message(const QString &prefix) const;
};

// Raised by platform operations and by procedures that leave failures to their caller.
class RuntimeError : public std::exception
{
public:
    explicit RuntimeError(Error error);
    explicit RuntimeError(int number);
    RuntimeError(int number, const QString &description);

    const Error &error() const noexcept { return m_error; }
    int number() const noexcept { return m_error.number; }
    const QString &description() const noexcept { return m_error.description; }
    const char *what() const noexcept override { return m_what.constData(); }

private:
    Error m_error;
    QByteArray m_what;
};

} // namespace platform
