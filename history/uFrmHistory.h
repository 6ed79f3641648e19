// The history window of one target: its log file's records over a day, a week, a month or
// all of them (THistoryGraph draws them at the screen's device pixels), what stopped the
// reading if anything did and how many records were skipped, the pixel column under the
// pointer, and an export of the span shown to a CSV file. The file is read on a thread of its
// own (THistoryLoader) with the progress shown, so a log of any size never blocks the window;
// the window keeps only the view's per-column summaries. While it is open it looks at the
// file every two seconds and takes in what was appended; it never writes it.
//
//   auto* History = new TfrmHistory(LogFolder + "/" + Target + ".pin", DisplayName);
//   History->setAttribute(Qt::WA_DeleteOnClose);
//   History->show();
#pragma once

#include "uHistoryGraph.h"
#include "uHistoryLoader.h"

#include <QString>
#include <QWidget>

#include <functional>
#include <memory>

class QButtonGroup;
class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;

class TfrmHistory : public QWidget {
    Q_OBJECT

public:
    TfrmHistory(const QString& LogFileName, const QString& Title, QWidget* Parent = nullptr);
    ~TfrmHistory() override;

    // Test seams: the clock the spans end at (seconds since 1970), a look at the file now, and
    // a wait until the reading has been shown (false after TimeoutMs).
    void SetNow(std::function<std::int64_t()> Now);
    void Refresh();
    bool WaitForReading(int TimeoutMs = 10000);

    void SetSpan(THistorySpan Span);
    THistorySpan Span() const { return FSpan; }
    // What the window shows: the view's columns, the records read, what stopped the reading.
    const THistorySnapshot& Shown() const { return FShown; }
    // The text the status line shows (the record count, what stopped the reading, how many
    // records were skipped, where the span ends, or the reading's progress).
    QString StatusText() const;
    // The hover text for logical x coordinate X of the graph: the pixel column under it.
    QString TextAt(int X) const;
    // Asks for a file name and writes the span shown as CSV; says where it wrote, or why it
    // could not. False when cancelled or failed.
    bool ExportShown();
    const QImage& Picture() const { return FPicture; }

protected:
    void resizeEvent(QResizeEvent* Event) override;
    bool event(QEvent* Event) override;
    bool eventFilter(QObject* Watched, QEvent* Event) override;

private:
    void Ask();
    // The graph's area or the screen's ratio changed: a new layout and view when they differ.
    void GraphResized();
    void Take(THistorySnapshot Snapshot);
    void Redraw();
    void ShowStatus();

    QString FFileName;
    THistoryGraph FGraph;
    THistorySpan FSpan = THistorySpan::Day;
    THistorySnapshot FShown;
    bool FHasShown = false;
    bool FHasLayout = false;
    QSize FLaidOut;     // the graph area's logical size at the last layout
    int FProgress = -1; // percent while a reading runs
    QString FExported;  // what the last export did
    QImage FPicture;
    std::function<std::int64_t()> FNow;
    QLabel* FGraphView = nullptr;
    QLabel* FStatus = nullptr;
    QProgressBar* FProgressBar = nullptr;
    QButtonGroup* FSpans = nullptr;
    QPushButton* FExport = nullptr;
    QTimer* FFollow = nullptr;
    std::unique_ptr<THistoryLoader> FLoader; // last: stopped first
};
