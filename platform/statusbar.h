#pragma once

#include <QStatusBar>

class QLabel;

namespace platform {

// A status bar showing one simple text. The text lives in a label of its own, so menus and
// tool tips that use the bar's temporary message do not wipe it.
class StatusBar : public QStatusBar
{
    Q_OBJECT

public:
    explicit StatusBar(QWidget *parent = nullptr);

    QString simpleText() const;
    void setSimpleText(const QString &text);

private:
    QLabel *m_label;
};

} // namespace platform
