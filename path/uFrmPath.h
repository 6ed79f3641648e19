// The path window of a monitor: one row per hop with its address (and name, looked up in the
// background), loss, requests sent, last, average, best and worst round trip, standard
// deviation, and a small timeline drawn in the colours of the monitor graphs. It probes the
// path live at the monitor's period while it is open; the probing runs on the prober's threads
// and each finished round is handed to the window, which only shows what the tracker decided
// (loss, several addresses at a hop, changes of path, hops that limit their replies).
//
//   auto* w = new TfrmPath(TPathAddress::Parse("192.0.2.9"), "router", 1000, 1000);
//   w->show();                                  // probing stops when the window closes
//
// Closing never waits for a request still under way: the prober is let go on a thread of its
// own, which ends once its requests have timed out.
#pragma once

#include "zsPathTrace.h"
#include "zsReverseNames.h"

#include <QImage>
#include <QString>
#include <QWidget>

#include <memory>
#include <mutex>

class QLabel;
class QTableWidget;

class TfrmPath : public QWidget {
    Q_OBJECT

public:
    enum TColumn {
        colHop,
        colAddress,
        colLoss,
        colSent,
        colLast,
        colAverage,
        colBest,
        colWorst,
        colStDev,
        colTimeline,
        ColumnCount
    };

    // Target empty: the monitor has no address yet, and nothing is probed. Echo and Lookup are
    // seams for tests (the echo service and the system's resolver by default).
    TfrmPath(const TPathAddress& Target, const QString& Title, int PeriodMs, int TimeoutMs,
             QWidget* Parent = nullptr, TPathProber::TEcho Echo = nullptr,
             TReverseNames::TLookup Lookup = nullptr);
    ~TfrmPath() override;

    const TPathSnapshot& Shown() const { return FSnapshot; }
    QTableWidget* Table() const { return FTable; }
    QString StatusText() const;
    // Hop's timeline as drawn (1-based hop).
    QImage Timeline(int Hop) const;

    static constexpr int TimelineWidth = 200;
    static constexpr int TimelineHeight = 24;

private:
    struct TMailbox;
    void ShowSnapshot(const TPathSnapshot& Snapshot);
    void ShowNames();

    TPathAddress FTarget;
    TPathSnapshot FSnapshot;
    std::vector<QImage> FTimelines;
    QTableWidget* FTable = nullptr;
    QLabel* FStatus = nullptr;
    std::shared_ptr<TMailbox> FMailbox;
    std::unique_ptr<TReverseNames> FNames;
    std::unique_ptr<TPathProber> FProber;
};

// The timeline of one hop: black, the frame in the grid colour, each round a column from the
// right (newest) edge: a green bar as high as its round trip against the hop's worst, a red mark
// at the foot for a lost request (grey where the hop only limits its replies), and a line in
// the address colour across the whole height where the path changed.
QImage DrawPathTimeline(const TPathHop& Hop, int Width, int Height);
