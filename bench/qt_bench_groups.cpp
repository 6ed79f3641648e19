// Opening the main window with many stored groups: the time from the window's first activation
// (which reads config.ini, sorts the group names into the groups box and opens the default
// group of one loopback-free target) until it is ready, for 1,000, 30,000 and 100,000 group
// names in scrambled order. The window stays frozen for that long. The sort alone is reported
// beside it (SortGroupNames).
//
// Pings nothing: the default group's one target is a name the resolver refuses by itself.
#include "uConfigStore.h"
#include "uFrmMain.h"
#include "zsMessageBox.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

namespace {

// Group names in an order far from sorted, with mixed letter case.
QStringList ScrambledNames(int Count) {
    QStringList Names;
    Names.reserve(Count);
    for (int I = 0; I < Count; ++I) {
        const unsigned Mixed = unsigned(I) * 2654435761U;
        Names.append(QStringLiteral("%1 Site %2")
                         .arg(Mixed % 2 ? QStringLiteral("north") : QStringLiteral("South"))
                         .arg(Mixed, 8, 16, QLatin1Char('0')));
    }
    return Names;
}

void SortGroupNames(benchmark::State& State) {
    const QStringList Names = ScrambledNames(int(State.range(0)));
    for (auto _ : State) {
        benchmark::DoNotOptimize(TConfigStore::SortedGroupNames(Names));
    }
}
BENCHMARK(SortGroupNames)->Arg(1000)->Arg(30000)->Arg(100000)->Unit(benchmark::kMillisecond);

void OpenWithGroups(benchmark::State& State) {
    const int Count = int(State.range(0));
    QTemporaryDir Dir;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(Dir.path() + QStringLiteral("/config")));
    qputenv("XDG_DATA_HOME", QFile::encodeName(Dir.path() + QStringLiteral("/data")));
    const QString Folder = Dir.path() + QStringLiteral("/config/Zephra Software/Vantorel");
    QDir().mkpath(Folder);
    QByteArray Text = "[COMMON]\r\nDefaultGroup=Open\r\n[GROUPS]\r\n";
    const QStringList Names = ScrambledNames(Count);
    for (int I = 0; I < Count; ++I) {
        Text += QByteArray::number(I) + '=' + Names[I].toUtf8() + "\r\n";
    }
    Text += QByteArray::number(Count) + "=Open\r\n[Open]\r\n0=no such host\r\n";
    for (auto _ : State) {
        State.PauseTiming();
        QFile File(Folder + QStringLiteral("/config.ini"));
        File.open(QIODevice::WriteOnly | QIODevice::Truncate);
        File.write(Text);
        File.close();
        auto Main = std::make_unique<TfrmMain>();
        Main->show();
        State.ResumeTiming();
        Main->FormActivate();
        State.PauseTiming();
        Main->close();
        Main.reset();
        State.ResumeTiming();
    }
}
BENCHMARK(OpenWithGroups)
    ->Arg(1000)
    ->Arg(30000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);

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
