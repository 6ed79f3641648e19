// The About window with a large VersionHistory.txt (200 MB of releases, far past what is
// read): the cost at start-up (creating the window, which the program does before its main
// window is shown) and at the first showing (reading at most VersionHistoryReadLimit bytes and
// building the tree). The baseline is reading the first VersionHistoryReadLimit bytes of the
// same file into memory (ReadLimitOnly).
#include "About.h"
#include "zsMessageBox.h"

#include <QApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QTreeWidget>

#include <benchmark/benchmark.h>

#include <memory>

namespace {

constexpr qint64 FileSize = qint64(200) << 20;

const QString& HistoryFile() {
    static QTemporaryDir Dir;
    static const QString Path = [] {
        const QString File = Dir.filePath(QStringLiteral("VersionHistory.txt"));
        QFile Out(File);
        Out.open(QIODevice::WriteOnly | QIODevice::Truncate);
        QByteArray Block;
        for (int Version = 1; Block.size() < (1 << 20); ++Version) {
            Block += "<Ver>1.0.0." + QByteArray::number(Version) +
                     "\r\n<Date>10 December 2026\r\n<Enh>An enhancement\r\n<Sub>with detail\r\n"
                     "<Fix>A fix\r\n";
        }
        for (qint64 Written = 0; Written < FileSize; Written += Block.size()) {
            Out.write(Block);
        }
        return File;
    }();
    return Path;
}

void ReadLimitOnly(benchmark::State& State) {
    for (auto _ : State) {
        QFile File(HistoryFile());
        File.open(QIODevice::ReadOnly);
        benchmark::DoNotOptimize(File.read(VersionHistoryReadLimit));
    }
}
BENCHMARK(ReadLimitOnly)->Unit(benchmark::kMillisecond);

void CreateWindow(benchmark::State& State) {
    for (auto _ : State) {
        auto About =
            std::make_unique<TfrmAbout>(nullptr, QStringLiteral("Vantorel"), HistoryFile());
        State.PauseTiming();
        About.reset();
        State.ResumeTiming();
    }
}
BENCHMARK(CreateWindow)->Unit(benchmark::kMillisecond);

void FirstShowing(benchmark::State& State) {
    int Items = 0;
    for (auto _ : State) {
        State.PauseTiming();
        auto About =
            std::make_unique<TfrmAbout>(nullptr, QStringLiteral("Vantorel"), HistoryFile());
        State.ResumeTiming();
        About->ShowAbout();
        QApplication::processEvents();
        State.PauseTiming();
        Items = About->VersionTreeView->topLevelItemCount();
        About.reset();
        State.ResumeTiming();
    }
    State.counters["versions"] = Items;
}
BENCHMARK(FirstShowing)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication App(argc, argv);
    TzsMessageBox::SetTestMode(true);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
