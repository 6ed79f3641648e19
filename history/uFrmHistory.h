// The history window of one target: its log file's records over a day, a week, a month or
// all of them (THistoryGraph draws them), what stopped the reading if anything did, the
// record under the pointer, and an export of the span shown to a CSV file. While it is open
// it looks at the file every two seconds and takes in what was appended; it never writes it.
//
//   auto* History = new TfrmHistory(LogFolder + "/" + Target + ".pin", DisplayName);
//   History->setAttribute(Qt::WA_DeleteOnClose);
//   History->show();
#pragma once

#include "uHistoryGraph.h"
#include "uPingLogHistory.h"

#include <QString>
#include <QWidget>

#include <functional>

class QButtonGroup;
class QLabel;
class QPushButton;
class QTimer;

class TfrmHistory : public QWidget {
    Q_OBJECT

public:
    TfrmHistory(const QString& LogFileName, const QString& Title, QWidget* Parent = nullptr);

    // Test seams: the clock the spans end at (seconds since 1970) and a look at the file now.
    void SetNow(std::function<std::int64_t()> Now);
    void Refresh();

    void SetSpan(THistorySpan Span);
    THistorySpan Span() const { return FSpan; }
    const TPingLogHistory& History() const { return FHistory; }
    // The text the status line shows (what stopped the reading, or the record count).
    QString StatusText() const;
    // The hover text for column X of the graph, empty when no record is near.
    QString TextAt(int X) const;
    // Asks for a file name and writes the span shown as CSV; false when cancelled or failed
    // (a failure is reported in a message box).
    bool ExportShown();
    const QImage& Picture() const { return FPicture; }

protected:
    void resizeEvent(QResizeEvent* Event) override;
    bool eventFilter(QObject* Watched, QEvent* Event) override;

private:
    void Redraw();

    QString FFileName;
    TPingLogHistory FHistory;
    THistoryGraph FGraph;
    THistorySpan FSpan = THistorySpan::Day;
    QImage FPicture;
    std::function<std::int64_t()> FNow;
    QLabel* FGraphView = nullptr;
    QLabel* FStatus = nullptr;
    QButtonGroup* FSpans = nullptr;
    QPushButton* FExport = nullptr;
    QTimer* FFollow = nullptr;
};
