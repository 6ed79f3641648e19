#include "uFrmHistory.h"

#include "zsFileDialog.h"
#include "zsMessageBox.h"

#include <QButtonGroup>
#include <QDateTime>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHelpEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QTimer>
#include <QToolTip>
#include <QVBoxLayout>

#include <fstream>
#include <sstream>

namespace {

constexpr int FollowMs = 2000;

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

    auto* Layout = new QVBoxLayout(this);
    Layout->addLayout(Top);
    Layout->addWidget(FGraphView, 1);
    Layout->addWidget(FStatus);

    FFollow = new QTimer(this);
    FFollow->setInterval(FollowMs);
    connect(FFollow, &QTimer::timeout, this, &TfrmHistory::Refresh);
    FFollow->start();
    FHistory.ReadFrom(QFile::encodeName(FFileName).toStdString());
}

void TfrmHistory::SetNow(std::function<std::int64_t()> Now) {
    FNow = std::move(Now);
    Redraw();
}

void TfrmHistory::Refresh() {
    const auto Problem = FHistory.Problem();
    if (FHistory.ReadFrom(QFile::encodeName(FFileName).toStdString()) ||
        FHistory.Problem() != Problem) {
        Redraw();
    }
}

void TfrmHistory::SetSpan(THistorySpan Span) {
    FSpan = Span;
    if (QAbstractButton* Button = FSpans->button(int(Span))) {
        Button->setChecked(true);
    }
    Redraw();
}

QString TfrmHistory::StatusText() const {
    const std::string Problem = FHistory.ProblemText();
    const QString Count = QStringLiteral("%1 records").arg(FHistory.Records().size());
    return Problem.empty() ? Count : Count + QStringLiteral(". ") + QString::fromStdString(Problem);
}

QString TfrmHistory::TextAt(int X) const {
    const int Index = FGraph.RecordAt(FHistory.Records(), X);
    return Index < 0 ? QString() : THistoryGraph::Describe(FHistory.Records()[std::size_t(Index)]);
}

bool TfrmHistory::ExportShown() {
    const QString Name = TzsFileDialog::Execute(
        this, {TzsFileDialog::TKind::Save, QStringLiteral(".csv"),
               QFileInfo(FFileName).completeBaseName() + QStringLiteral(".csv"),
               QStringLiteral("CSV File|*.csv")});
    if (Name.isEmpty()) {
        return false;
    }
    std::ostringstream Csv;
    WriteHistoryCsv(Csv, FHistory.Records(), FGraph.From(), FGraph.To());
    std::ofstream File(QFile::encodeName(Name).toStdString(), std::ios::binary | std::ios::trunc);
    File << Csv.str();
    File.flush();
    if (!File) {
        TzsMessageBox::Error(this, QStringLiteral("Unable to write to %1.").arg(Name));
        return false;
    }
    return true;
}

void TfrmHistory::Redraw() {
    const QSize Size = FGraphView->size().expandedTo({200, 140});
    FPicture = FGraph.Render(FHistory.Records(), Size, FSpan, FNow());
    FGraphView->setPixmap(QPixmap::fromImage(FPicture));
    FStatus->setText(StatusText());
}

void TfrmHistory::resizeEvent(QResizeEvent* Event) {
    QWidget::resizeEvent(Event);
    Redraw();
}

bool TfrmHistory::eventFilter(QObject* Watched, QEvent* Event) {
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
