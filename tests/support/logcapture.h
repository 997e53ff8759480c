#pragma once

#include <QByteArray>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <algorithm>

// Switches the debug lines of one logging category on for as long as it lives and collects
// every line of that category; the messages of other categories go on to the handler before
// it (QTest's, which fails a test on an unexpected warning).
class LogCapture
{
public:
    explicit LogCapture(const char *category)
        : m_category(category)
    {
        QLoggingCategory::setFilterRules(QStringLiteral("%1.debug=true").arg(QLatin1String(category)));
        current() = this;
        m_previous = qInstallMessageHandler(&LogCapture::handle);
    }
    ~LogCapture()
    {
        qInstallMessageHandler(m_previous);
        current() = nullptr;
        QLoggingCategory::setFilterRules(QString());
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    // How many lines collected so far match the pattern.
    int count(const QString &pattern) const
    {
        const QRegularExpression expression(pattern);
        return int(std::count_if(lines.cbegin(), lines.cend(),
                                 [&expression](const QString &line) { return expression.match(line).hasMatch(); }));
    }
    // For a failure message: everything collected.
    QByteArray all() const { return lines.join(QLatin1Char('\n')).toLocal8Bit(); }

    QStringList lines;

private:
    static LogCapture *&current()
    {
        static LogCapture *capture = nullptr;
        return capture;
    }
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        LogCapture *capture = current();
        if (capture && context.category && capture->m_category == context.category) {
            capture->lines << message;
            return;
        }
        if (capture && capture->m_previous)
            capture->m_previous(type, context, message);
    }

    QByteArray m_category;
    QtMessageHandler m_previous = nullptr;
};
