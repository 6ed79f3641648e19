#include "uFrmHistory.h"

#include "uHistoryExport.h"
#include "zsFileDialog.h"
#include "zsMessageBox.h"

#include <QButtonGroup>
#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QToolTip>
#include <QVBoxLayout>

namespace {

constexpr int FollowMs = 2000;

std::string Local(const QString& Name) {
    return QFile::encodeName(Name).toStdString();
}

} // namespace

TfrmHistory::TfrmHistory(const QString& LogFileName, const QString& Title, QWidget* Parent)
    : QWidget(Parent, Qt::Window), FFileName(LogFileName),
      FNow([] { return QDateTime::currentSecsSinceEpoch(); }) {
    setObjectName(QStringLiteral("frmHistory"));
    setWindowTitle(QStringLiteral("Vantorel : History of %1").arg(Title));
    resize(820, 460);
    setMinimumSize(420, 260);
    setStyleSheet(QStringLiteral("TfrmHistory { background: rgb(24, 24, 24); }"
                                 "QLabel#lblStatus { color: rgb(200, 200, 200); }"));

    auto* Top = new QHBoxLayout;
    FSpans = new QButtonGroup(this);
    const std::pair<const char*, THistorySpan> Spans[] = {{"&Day", THistorySpan::Day},
                                                          {"&Week", THistorySpan::Week},
                                                          {"&Month", THistorySpan::Month},
                                                          {"&All", THistorySpan::All}};
    for (const auto& [Name, Span] : Spans) {
        auto* Button = new QPushButton(QString::fromLatin1(Name), this);
        Button->setCheckable(true);
        Button->setObjectName(QStringLiteral("btnSpan") + QString::fromLatin1(Name + 1));
        FSpans->addButton(Button, int(Span));
        Top->addWidget(Button);
    }
    FSpans->button(int(FSpan))->setChecked(true);
    connect(FSpans, &QButtonGroup::idClicked, this, [this](int Id) { SetSpan(THistorySpan(Id)); });
    Top->addStretch();
    FExport = new QPushButton(QStringLiteral("&Export CSV..."), this);
    FExport->setObjectName(QStringLiteral("btnExport"));
    connect(FExport, &QPushButton::clicked, this, [this] { ExportShown(); });
    Top->addWidget(FExport);

    FGraphView = new QLabel(this);
    FGraphView->setObjectName(QStringLiteral("imgHistory"));
    FGraphView->setMinimumSize(200, 140);
    FGraphView->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    FGraphView->setMouseTracking(true);
    FGraphView->installEventFilter(this);
    FStatus = new QLabel(this);
    FStatus->setObjectName(QStringLiteral("lblStatus"));
    FProgressBar = new QProgressBar(this);
    FProgressBar->setObjectName(QStringLiteral("pbReading"));
    FProgressBar->setRange(0, 100);
    FProgressBar->setMaximumWidth(160);
    FProgressBar->setVisible(false);
    auto* Bottom = new QHBoxLayout;
    Bottom->addWidget(FStatus, 1);
    Bottom->addWidget(FProgressBar);

    auto* Layout = new QVBoxLayout(this);
    Layout->addLayout(Top);
    Layout->addWidget(FGraphView, 1);
    Layout->addLayout(Bottom);

    // The loader calls back on its own thread; each call is posted to this window, and is
    // dropped with the window if it closes first.
    FLoader = std::make_unique<THistoryLoader>(
        Local(FFileName),
        [this](THistorySnapshot Snapshot) {
            QMetaObject::invokeMethod(
                this, [this, S = std::move(Snapshot)]() mutable { Take(std::move(S)); },
                Qt::QueuedConnection);
        },
        [this](int Percent) {
            QMetaObject::invokeMethod(
                this,
                [this, Percent] {
                    FProgress = Percent < 100 ? Percent : -1;
                    ShowStatus();
                },
                Qt::QueuedConnection);
        });
    // A file that cannot be opened is said at once; anything else once it has been read.
    TPingLogReader Probe;
    struct TNothing : THistorySink {
        void Take(const THistoryRecord*, std::size_t) override {}
        bool Cancelled() override { return true; }
    } Nothing;
    Probe.ReadFrom(Local(FFileName), Nothing);
    if (Probe.Problem() == TPingLogReader::TProblem::Missing ||
        Probe.Problem() == TPingLogReader::TProblem::Unreadable) {
        FShown.Problem = Probe.Problem();
        FShown.ProblemText = Probe.ProblemText();
    } else {
        FProgress = 0;
    }
    FFollow = new QTimer(this);
    FFollow->setInterval(FollowMs);
    connect(FFollow, &QTimer::timeout, this, &TfrmHistory::Refresh);
    FFollow->start();
    GraphResized();
    ShowStatus();
}

TfrmHistory::~TfrmHistory() = default;

void TfrmHistory::SetNow(std::function<std::int64_t()> Now) {
    FNow = std::move(Now);
    Ask();
}

void TfrmHistory::Refresh() {
    Ask();
}

bool TfrmHistory::WaitForReading(int TimeoutMs) {
    const bool Idle = FLoader->WaitIdle(TimeoutMs);
    QCoreApplication::sendPostedEvents(this);
    return Idle;
}

void TfrmHistory::Ask() {
    FLoader->Request(FSpan, FGraph.Columns(), FNow());
}

void TfrmHistory::SetSpan(THistorySpan Span) {
    FSpan = Span;
    if (QAbstractButton* Button = FSpans->button(int(Span))) {
        Button->setChecked(true);
    }
    Ask();
}

void TfrmHistory::Take(THistorySnapshot Snapshot) {
    FShown = std::move(Snapshot);
    FHasShown = true;
    FProgress = -1;
    Redraw();
}

QString TfrmHistory::StatusText() const {
    QStringList Parts;
    if (FProgress >= 0) {
        Parts << QStringLiteral("Reading the log file (%1 %)...").arg(FProgress);
    }
    if (FHasShown) {
        Parts << QStringLiteral("%1 records.").arg(FShown.Records);
    }
    for (const std::string& Text : {FShown.ProblemText, FShown.SkippedText}) {
        if (!Text.empty()) {
            Parts << QString::fromStdString(Text);
        }
    }
    if (FHasShown && FShown.View.Range().EndsAtLastRecord && FShown.Span == FSpan) {
        Parts << QStringLiteral("The log ends at %1; the span shown ends there.")
                     .arg(QDateTime::fromSecsSinceEpoch(FShown.Log.Last)
                              .toString(QStringLiteral("yyyy-MM-dd HH:mm")));
    }
    if (!FExported.isEmpty()) {
        Parts << FExported;
    }
    return Parts.join(QLatin1Char(' '));
}

void TfrmHistory::ShowStatus() {
    FStatus->setText(StatusText());
    FProgressBar->setVisible(FProgress >= 0);
    FProgressBar->setValue(std::max(FProgress, 0));
}

QString TfrmHistory::TextAt(int X) const {
    if (!FHasShown) {
        return {};
    }
    return THistoryGraph::Describe(FShown.View, FGraph.ColumnAt(X));
}

bool TfrmHistory::ExportShown() {
    const QString Name = TzsFileDialog::Execute(
        this, {TzsFileDialog::TKind::Save, QStringLiteral(".csv"),
               QFileInfo(FFileName).completeBaseName() + QStringLiteral(".csv"),
               QStringLiteral("CSV File|*.csv")});
    if (Name.isEmpty()) {
        return false;
    }
    const std::string Path = Local(Name);
    const auto Fail = [&](const std::string& Why) {
        FExported.clear();
        ShowStatus();
        TzsMessageBox::Error(
            this,
            QStringLiteral("Unable to write to %1: %2.").arg(Name, QString::fromStdString(Why)));
        return false;
    };
    if (SameFile(Local(FFileName), Path)) {
        return Fail("it is the log file itself");
    }
    if (const std::string Why = RefusedCsvFile(Path); !Why.empty()) {
        return Fail(Why);
    }
    const std::unique_ptr<TCsvOutput> Output = OpenCsvFile(Path);
    const THistoryRange& Range = FShown.View.Range();
    TCsvExport Csv(*Output, Range.From, Range.To - 1);
    TPingLogReader Reader;
    Reader.ReadFrom(Local(FFileName), Csv);
    if (!Csv.Finish()) {
        return Fail(Output->Why());
    }
    FExported = QStringLiteral("%1 records written to %2.").arg(Csv.Rows()).arg(Name);
    ShowStatus();
    return true;
}

void TfrmHistory::Redraw() {
    FPicture = FGraph.Render(FShown.View, FSpan);
    FGraphView->setPixmap(QPixmap::fromImage(FPicture));
    ShowStatus();
}

void TfrmHistory::resizeEvent(QResizeEvent* Event) {
    QWidget::resizeEvent(Event);
    GraphResized();
}

void TfrmHistory::GraphResized() {
    const QSize Size = FGraphView->size().expandedTo({200, 140});
    if (FHasLayout && Size == FLaidOut && FGraph.Ratio() == devicePixelRatioF()) {
        return;
    }
    FHasLayout = true;
    FLaidOut = Size;
    FGraph.SetLayout(Size, devicePixelRatioF());
    if (FHasShown) {
        Redraw(); // the old columns at the new size until the new view comes
    }
    Ask();
}

// Moved to a screen of another scale: drawn again at that screen's device pixels.
bool TfrmHistory::event(QEvent* Event) {
    const bool Done = QWidget::event(Event);
    if (Event->type() == QEvent::ScreenChangeInternal
#if QT_VERSION >= QT_VERSION_CHECK(6, 6, 0)
        || Event->type() == QEvent::DevicePixelRatioChange
#endif
    ) {
        GraphResized();
    }
    return Done;
}

bool TfrmHistory::eventFilter(QObject* Watched, QEvent* Event) {
    if (Watched == FGraphView && Event->type() == QEvent::Resize) {
        GraphResized();
    }
    if (Watched == FGraphView && Event->type() == QEvent::MouseMove) {
        const QPoint At = static_cast<QMouseEvent*>(Event)->position().toPoint();
        const QString Text = TextAt(At.x());
        if (Text.isEmpty()) {
            QToolTip::hideText();
        } else {
            QToolTip::showText(FGraphView->mapToGlobal(At), Text, FGraphView);
        }
    }
    return QWidget::eventFilter(Watched, Event);
}
