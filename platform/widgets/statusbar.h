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

    // A lasting condition shown at the right of the bar until it is set empty, whatever the
    // simple text says meanwhile. It never widens the bar: what does not fit is elided, and
    // the whole text is the notice's tool tip.
    QString notice() const;
    void setNotice(const QString &text);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void fitNotice();

    QLabel *m_label;
    QLabel *m_notice;
    QString m_noticeText;
};

} // namespace platform
