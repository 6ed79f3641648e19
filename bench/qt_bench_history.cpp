// A year of a target's history (105,120 five-minute records): reading the file plainly (the
// baseline: the bytes into memory), reading and checking it as the history does, opening the
// history window until its first picture is drawn, and exporting the year as CSV.
//
// A gigabyte of history (44.7 million records, 425 years of five-minute intervals), made in
// /tmp for the run and removed after it: reading it plainly (the baseline), the command-line
// export to a CSV file, and the history window until its picture of all of it is drawn. The
// export and the window each run in a process of their own, so that their time and peak
// resident memory are theirs alone; the counters give seconds, peak resident MiB and the time
// as a ratio to the plain reading. Only with --benchmark_filter=Gigabyte (not in the test run):
//   qt_bench_history --benchmark_filter=Gigabyte
#include "uFrmHistory.h"
#include "uPingLogHistory.h"
#include "zsPingLog.h"

#include <QApplication>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

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
        Window.WaitForReading();
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

constexpr std::int64_t GigabyteRecords = 44739243; // 1 GiB / 24 bytes

// The gigabyte log, written once per run in a folder of its own below /tmp.
struct TGigabyte {
    std::string Folder;
    std::string Log;
    TGigabyte() {
        char Template[] = "/tmp/vantorel-bench-history-XXXXXX";
        Folder = ::mkdtemp(Template);
        Log = Folder + "/big.pin";
        std::ofstream File(Log, std::ios::binary);
        std::string Chunk;
        const std::int64_t Start = -2177452800 + 150; // 1901-01-01T00:02:30Z
        for (std::int64_t I = 0; I < GigabyteRecords; ++I) {
            TPingLogRecord Record;
            Record.RecNo = std::int32_t(I);
            Record.Marker = {0xF0, 0xF0, 0xF0, 0xF0};
            Record.MeanTime = 25569.0 + double(Start + I * 300) / 86400.0;
            const bool Failed = I % 997 == 0;
            Record.AvgTrip = Failed ? -1.0f : float(10 + I % 40);
            Record.UptimePct = Failed ? 0.0f : (I % 13 == 0 ? 96.0f : 100.0f);
            const auto Encoded = EncodePingLogRecord(Record);
            Chunk.append(reinterpret_cast<const char*>(Encoded.data()), Encoded.size());
            if (Chunk.size() >= (1 << 22)) {
                File << Chunk;
                Chunk.clear();
            }
        }
        File << Chunk;
    }
    ~TGigabyte() {
        std::remove((Folder + "/big.csv").c_str());
        std::remove(Log.c_str());
        ::rmdir(Folder.c_str());
    }
};

TGigabyte& Gigabyte() {
    static TGigabyte Files;
    return Files;
}

struct TChild {
    double Seconds = 0;
    double PeakMiB = 0;
    int Code = -1;
};

// Runs Argv (program first) with TZ=UTC0, its output to /dev/null; wall time and peak RSS.
TChild RunChild(std::vector<std::string> Argv) {
    std::vector<char*> Args;
    for (std::string& A : Argv) {
        Args.push_back(A.data());
    }
    Args.push_back(nullptr);
    std::vector<std::string> Env{"TZ=UTC0", "QT_QPA_PLATFORM=offscreen"};
    for (char** E = environ; *E != nullptr; ++E) {
        if (std::strncmp(*E, "TZ=", 3) != 0 && std::strncmp(*E, "QT_QPA_PLATFORM=", 16) != 0) {
            Env.emplace_back(*E);
        }
    }
    std::vector<char*> Envp;
    for (std::string& E : Env) {
        Envp.push_back(E.data());
    }
    Envp.push_back(nullptr);
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_addopen(&Actions, 1, "/dev/null", O_WRONLY, 0);
    const auto Begin = std::chrono::steady_clock::now();
    pid_t Child = 0;
    TChild Result;
    if (posix_spawn(&Child, Args[0], &Actions, nullptr, Args.data(), Envp.data()) != 0) {
        posix_spawn_file_actions_destroy(&Actions);
        return Result;
    }
    posix_spawn_file_actions_destroy(&Actions);
    int Status = 0;
    rusage Usage{};
    wait4(Child, &Status, 0, &Usage);
    Result.Seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - Begin).count();
    Result.PeakMiB = double(Usage.ru_maxrss) / 1024;
    Result.Code = WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
    return Result;
}

std::string SelfPath() {
    char Path[4096];
    const ssize_t Length = ::readlink("/proc/self/exe", Path, sizeof Path - 1);
    return Length > 0 ? std::string(Path, std::size_t(Length)) : std::string();
}

double PlainReadSeconds() {
    static const double Seconds = [] {
        const auto Begin = std::chrono::steady_clock::now();
        const int Fd = ::open(Gigabyte().Log.c_str(), O_RDONLY);
        std::vector<char> Buffer(1 << 20);
        while (::read(Fd, Buffer.data(), Buffer.size()) > 0) {
        }
        ::close(Fd);
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - Begin).count();
    }();
    return Seconds;
}

void GigabytePlainRead(benchmark::State& State) {
    for (auto _ : State) {
        State.counters["seconds"] = PlainReadSeconds();
    }
}
BENCHMARK(GigabytePlainRead)->Iterations(1)->Unit(benchmark::kSecond);

void GigabyteExport(benchmark::State& State) {
    const double Baseline = PlainReadSeconds();
    for (auto _ : State) {
        const TChild Run = RunChild({VANTOREL_PROGRAM, "--export-log", Gigabyte().Log, "-o",
                                     Gigabyte().Folder + "/big.csv"});
        State.counters["seconds"] = Run.Seconds;
        State.counters["peak_MiB"] = Run.PeakMiB;
        State.counters["x_plain_read"] = Run.Seconds / Baseline;
        State.counters["exit"] = Run.Code;
    }
    std::remove((Gigabyte().Folder + "/big.csv").c_str());
}
BENCHMARK(GigabyteExport)->Iterations(1)->Unit(benchmark::kSecond);

void GigabyteWindow(benchmark::State& State) {
    const double Baseline = PlainReadSeconds();
    for (auto _ : State) {
        const TChild Run = RunChild({SelfPath(), "--window-child", Gigabyte().Log});
        State.counters["seconds"] = Run.Seconds;
        State.counters["peak_MiB"] = Run.PeakMiB;
        State.counters["x_plain_read"] = Run.Seconds / Baseline;
        State.counters["exit"] = Run.Code;
    }
}
BENCHMARK(GigabyteWindow)->Iterations(1)->Unit(benchmark::kSecond);

// The child of GigabyteWindow: opens the window on the log, showing all of it, and ends once
// the picture is drawn; the event loop runs meanwhile (the window stays responsive), and the
// longest pass of the loop is written to the error output.
int WindowChild(int argc, char** argv) {
    QApplication App(argc, argv);
    TfrmHistory Window(QString::fromLocal8Bit(argv[2]), QStringLiteral("big"));
    Window.resize(820, 460);
    Window.SetSpan(THistorySpan::All);
    Window.show();
    double Longest = 0;
    auto Last = std::chrono::steady_clock::now();
    while (!Window.WaitForReading(0) || Window.Shown().Records == 0) {
        QApplication::processEvents(QEventLoop::AllEvents, 50);
        const auto Here = std::chrono::steady_clock::now();
        Longest = std::max(Longest, std::chrono::duration<double>(Here - Last).count());
        Last = Here;
        ::usleep(10000);
    }
    std::fprintf(stderr, "window: %llu records, longest event loop pass %.3f s\n",
                 static_cast<unsigned long long>(Window.Shown().Records), Longest);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    if (argc == 3 && std::strcmp(argv[1], "--window-child") == 0) {
        return WindowChild(argc, argv);
    }
    QApplication App(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
