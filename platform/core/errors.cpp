#include "errors.h"

namespace platform {

Error Error::fromNumber(int number)
{
    switch (number) {
    case ErrorNumber::InvalidArgument: return {number, QStringLiteral("Invalid procedure call or argument")};
    case ErrorNumber::Overflow: return {number, QStringLiteral("Overflow")};
    case ErrorNumber::DivisionByZero: return {number, QStringLiteral("Division by zero")};
    case ErrorNumber::TypeMismatch: return {number, QStringLiteral("Type mismatch")};
    case ErrorNumber::BadFileNumber: return {number, QStringLiteral("Bad file name or number")};
    case ErrorNumber::FileNotFound: return {number, QStringLiteral("File not found")};
    case ErrorNumber::FileAlreadyOpen: return {number, QStringLiteral("File already open")};
    case ErrorNumber::DeviceIO: return {number, QStringLiteral("Device I/O error")};
    case ErrorNumber::InputPastEnd: return {number, QStringLiteral("Input past end of file")};
    case ErrorNumber::PermissionDenied: return {number, QStringLiteral("Permission denied")};
    case ErrorNumber::PathFileAccess: return {number, QStringLiteral("Path/File access error")};
    case ErrorNumber::PathNotFound: return {number, QStringLiteral("Path not found")};
    case ErrorNumber::InvalidPropertyValue: return {number, QStringLiteral("Invalid property value")};
    case ErrorNumber::DialogCancelled: return {number, QStringLiteral("Cancel was selected.")};
    default: return {number, QStringLiteral("Application-defined or object-defined error")};
    }
}

QString Error::message(const QString &prefix) const
{
    return prefix + QString::number(number) + QStringLiteral(": ") + description;
}

RuntimeError::RuntimeError(Error error)
    : m_error(std::move(error))
    , m_what(m_error.message(QString()).toUtf8())
{
}

RuntimeError::RuntimeError(int number)
    : RuntimeError(Error::fromNumber(number))
{
}

RuntimeError::RuntimeError(int number, const QString &description)
    : RuntimeError(Error{number, description})
{
}

} // namespace platform
