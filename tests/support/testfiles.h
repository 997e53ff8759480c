#pragma once

#include <QByteArray>
#include <QString>

class QTemporaryDir;

// Writes content into a new file of the folder and returns its path; stops the test run when
// the file cannot be written, since nothing after it would mean anything.
QString writeTestFile(const QTemporaryDir &dir, const QString &name, const QByteArray &content);
