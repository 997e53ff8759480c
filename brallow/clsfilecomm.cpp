#include "clsFileComm.h"

#include "errors.h"
#include "eventloop.h"
#include "exclusivefile.h"
#include "fileattributes.h"
#include "fileerrors.h"
#include "messagebox.h"

#include <chrono>
#include <new>

using platform::ExclusiveFile;
using platform::RuntimeError;
namespace ErrorNumber = platform::ErrorNumber;
namespace FileAttribute = platform::FileAttribute;
namespace FileErrorNumber = platform::FileErrorNumber;

namespace {

// How long one attempt lets events run before it tries the file again: short enough that
// a freed file is taken at once, long enough that a long wait costs almost no processor time.
constexpr std::chrono::milliseconds kRetryInterval{2};
constexpr char kRecordEnd = '\r';

const QString kSendFailure = QStringLiteral("Error (SendData) ");
const QString kGetFailure = QStringLiteral("Error (GetData) ");

// Only the emptiness test trims, and it trims spaces alone; the path is used as given.
bool isBlank(const QString &path)
{
    for (const QChar c : path) {
        if (c != QLatin1Char(' '))
            return false;
    }
    return true;
}

} // namespace

bool clsFileComm::WaitForPeer()
{
    ++m_waitingCalls;
    // The user's Cancel arrives meanwhile, and is looked at below.
    platform::letEventsRunFor(kRetryInterval);
    --m_waitingCalls;

    if (!m_cancel)
        return true;
    m_cancel = false;
    return false;
}

bool clsFileComm::CreateOutFile()
{
    try {
        platform::createEmptyFile(m_outFile);
        return true;
    } catch (const RuntimeError &failure) {
        platform::showMessage(failure.error().message(kSendFailure));
        return false;
    }
}

void clsFileComm::SendData(const QString &strData)
{
    if (isBlank(m_outFile))
        return;
    m_cancel = false;

    const QByteArray record = strData.toLatin1() + kRecordEnd;
    bool created = false;
    for (;;) {
        ExclusiveFile file;
        try {
            file.open(m_outFile, ExclusiveFile::Mode::Write);
            // Decided with the lock held: the receiver cannot take the content between this
            // look at the flag and the write, so a record is neither lost nor read twice.
            if (file.attributes() & FileAttribute::Archive)
                file.append(record);
            else
                file.replace(record);
            return;
        } catch (const RuntimeError &failure) {
            file.close();
            switch (failure.number()) {
            case ErrorNumber::FileNotFound:
                // Missing again after being created (a dangling link, say): reported, not looped.
                if (created) {
                    platform::showMessage(failure.error().message(kSendFailure));
                    return;
                }
                if (!CreateOutFile())
                    return;
                created = true;
                break;
            case ErrorNumber::PermissionDenied:
                if (!WaitForPeer())
                    return;
                break;
            default: platform::showMessage(failure.error().message(kSendFailure)); return;
            }
        }
    }
}

QString clsFileComm::GetData()
{
    QString result;
    if (isBlank(m_inFile))
        return result;

    ExclusiveFile file;
    try {
        if (!(platform::GetAttr(m_inFile) & FileAttribute::Archive))
            return result;
        for (;;) {
            try {
                file.open(m_inFile, ExclusiveFile::Mode::Read);
                break;
            } catch (const RuntimeError &failure) {
                if (failure.number() != ErrorNumber::PermissionDenied)
                    throw;
                if (!WaitForPeer())
                    return result;
            }
        }
        // Looked at again under the lock, and cleared before the lock goes: a record the
        // sender adds later finds the flag clear and starts a fresh content.
        if (!(file.attributes() & FileAttribute::Archive))
            return result;
        const qint64 length = file.length();
        if (length > m_maxReceive)
            throw RuntimeError(FileErrorNumber::OutOfStringSpace,
                               QStringLiteral("Out of string space (the unread text of '%1' is %2 characters; at most "
                                              "%3 can be received, so it stays unread)")
                                   .arg(m_inFile)
                                   .arg(length)
                                   .arg(m_maxReceive));
        const QString text = length > 0 ? QString::fromLatin1(file.read(length)) : QString();
        // Handed over only once marked read: text the flag still calls unread would come
        // again with the next receive.
        file.setAttributes(FileAttribute::Normal);
        result = text;
    } catch (const RuntimeError &failure) {
        file.close();
        // The file is gone: nothing was sent yet.
        if (failure.number() != ErrorNumber::FileNotFound)
            platform::showMessage(failure.error().message(kGetFailure));
    } catch (const std::bad_alloc &) {
        file.close();
        platform::showMessage(
            platform::Error{FileErrorNumber::OutOfMemory,
                            QStringLiteral("Out of memory (receiving '%1'; it stays unread)").arg(m_inFile)}
                .message(kGetFailure));
    }
    return result;
}
