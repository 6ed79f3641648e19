// A year of a target's history (105,120 five-minute records): reading the file plainly (the
// baseline: the bytes into memory), reading and checking it as the history does, opening the
// history window until its first picture is drawn, and exporting the year as CSV.
#include "uFrmHistory.h"
#include "uPingLogHistory.h"
#include "zsPingLog.h"

#include <QApplication>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <fstream>
#include <sstream>

namespace {

constexpr int YearOfRecords = 105120;

std::string WriteYear(const QTemporaryDir& Dir) {
    std::string Bytes;
    Bytes.reserve(std::size_t(YearOfRecords) * PING_LOG_RECORD_SIZE);
    const std::int64_t Start = 1704067350; // 2024-01-01T00:02:30Z
    for (int I = 0; I < YearOfRecords; ++I) {
        TPingLogRecord Record;
        Record.RecNo = I;
        Record.Marker = {0xF0, 0xF0, 0xF0, 0xF0};
        Record.MeanTime = 25569.0 + double(Start + std::int64_t(I) * 300) / 86400.0;
        Record.AvgTrip = I % 97 == 0 ? -1.0f : float(10 + I % 30);
        Record.UptimePct = I % 97 == 0 ? 0.0f : 100.0f;
        const auto Encoded = EncodePingLogRecord(Record);
        Bytes.append(reinterpret_cast<const char*>(Encoded.data()), Encoded.size());
    }
    const std::string Path = Dir.path().toStdString() + "/year.pin";
    std::ofstream(Path, std::ios::binary) << Bytes;
    return Path;
}

const std::string& YearFile() {
    static QTemporaryDir Dir;
    static const std::string Path = WriteYear(Dir);
    return Path;
}

void PlainRead(benchmark::State& State) {
    for (auto _ : State) {
        std::ifstream File(YearFile(), std::ios::binary);
        std::string Bytes((std::istreambuf_iterator<char>(File)), {});
        benchmark::DoNotOptimize(Bytes.data());
    }
}
BENCHMARK(PlainRead)->Unit(benchmark::kMillisecond);

void ReadHistory(benchmark::State& State) {
    for (auto _ : State) {
        TPingLogHistory History;
        History.ReadFrom(YearFile());
        benchmark::DoNotOptimize(History.Records().data());
    }
}
BENCHMARK(ReadHistory)->Unit(benchmark::kMillisecond);

void OpenWindowToFirstPicture(benchmark::State& State) {
    for (auto _ : State) {
        TfrmHistory Window(QString::fromStdString(YearFile()), QStringLiteral("year"));
        Window.resize(820, 460);
        Window.SetSpan(THistorySpan::All);
        Window.show();
        QApplication::processEvents();
        benchmark::DoNotOptimize(Window.Picture().constBits());
    }
}
BENCHMARK(OpenWindowToFirstPicture)->Unit(benchmark::kMillisecond);

void ExportCsv(benchmark::State& State) {
    TPingLogHistory History;
    History.ReadFrom(YearFile());
    for (auto _ : State) {
        std::ostringstream Csv;
        WriteHistoryCsv(Csv, History.Records());
        benchmark::DoNotOptimize(Csv.str().size());
    }
}
BENCHMARK(ExportCsv)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication App(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
