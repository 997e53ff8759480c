#pragma once

#include "ringbuffer.h"

#include <QElapsedTimer>
#include <QMainWindow>

class PlotWidget;
class StatisticsLabel;
class QCheckBox;
class QPushButton;
class QSpinBox;
class QTimer;

namespace platform {
class DdeClient;
}

// The live plot: links to the instrument's output item and plots every data line.
class PlotWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit PlotWindow(QWidget *parent = nullptr);

private:
    void createControls();
    void connectToInstrument();
    void handleUpdate(const QString &text);
    void handleLinkError(int code);
    void showFrame();
    void togglePause();
    void clearData();
    void exportCsv();
    void exportPng();
    const RingBuffer &visibleRows() const;
    void refreshStatistics();
    void refreshStatus();

    platform::DdeClient *m_link;
    PlotWidget *m_plot;
    StatisticsLabel *m_statistics;
    QPushButton *m_connectButton;
    QPushButton *m_pauseButton;
    QPushButton *m_clearButton;
    QPushButton *m_exportCsvButton;
    QPushButton *m_exportPngButton;
    QCheckBox *m_holdScale;
    QCheckBox *m_pointNumbers;
    QSpinBox *m_lines;
    QTimer *m_frameTimer;

    RingBuffer m_rows;
    RingBuffer m_frozenRows; // what the display shows while paused
    bool m_paused = false;
    bool m_newRows = false;
    bool m_statisticsBehind = false; // lines in the picture not yet in the statistics
    QElapsedTimer m_statisticsAge;
    bool m_linked = false;
    QString m_linkState;
    qint64 m_lineCount = 0; // x of the next data line without point numbers
    double m_lastX = 0.0;   // where the next marker goes
    qint64 m_unparsed = 0;
};
