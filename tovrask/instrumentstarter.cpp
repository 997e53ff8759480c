#include "instrumentstarter.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

InstrumentStarter::InstrumentStarter(QString besideFolder)
    : m_besideFolder(std::move(besideFolder))
{
}

QString InstrumentStarter::findProgram() const
{
    const QString folder = m_besideFolder.isEmpty() ? QCoreApplication::applicationDirPath() : m_besideFolder;
    const QFileInfo beside(QDir(folder).filePath(QLatin1String(kProgramName)));
    if (beside.isFile() && beside.isExecutable())
        return beside.absoluteFilePath();
    return QStandardPaths::findExecutable(QLatin1String(kProgramName));
}

qint64 InstrumentStarter::start() const
{
    const QString program = findProgram();
    if (program.isEmpty())
        return 0;
    qint64 processId = 0;
    if (!QProcess::startDetached(program, {}, QString(), &processId))
        return 0;
    return processId;
}
