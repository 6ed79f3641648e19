// Looks at the X screen the end-to-end test runs the program on: counts the monitor graphs
// that show a host on line (a dark green frame around the graph) and off line (a red one),
// and can save the screen, or a part of it, as a PNG.
//
//   vantorel_e2e_screen [--crop X Y W H] [--save FILE.png]   prints "online=N offline=M"
//
// The frame colours are the graph renderer's; the graph is drawn unscaled, so they reach the
// screen exactly.
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QRect>
#include <QScreen>
#include <QStringList>

#include <cstdio>

namespace {

constexpr QRgb BorderOnLine = 0xFF006000;
constexpr QRgb BorderOffLine = 0xFFC00000;

// Top left corners of one-pixel frames drawn in Colour, at least MinSide pixels wide and
// high: the pixel, a run to its right and a run below it have the colour, the pixel inside the
// corner does not. Frames may touch each other (a tile beside the main panel).
int CountFrames(const QImage& Screen, QRgb Colour) {
    constexpr int MinSide = 20;
    const auto At = [&](int X, int Y) {
        return X >= 0 && Y >= 0 && X < Screen.width() && Y < Screen.height() &&
               (Screen.pixel(X, Y) | 0xFF000000) == Colour;
    };
    const auto Run = [&](int X, int Y, int StepX, int StepY) {
        int Length = 0;
        while (Length < MinSide && At(X + Length * StepX, Y + Length * StepY))
            ++Length;
        return Length;
    };
    int Count = 0;
    for (int Y = 0; Y < Screen.height(); ++Y) {
        for (int X = 0; X < Screen.width(); ++X) {
            if (At(X, Y) && !At(X + 1, Y + 1) && Run(X, Y, 1, 0) == MinSide &&
                Run(X, Y, 0, 1) == MinSide)
                ++Count;
        }
    }
    return Count;
}

} // namespace

int main(int argc, char** argv) {
    QGuiApplication App(argc, argv);
    const QStringList Args = QCoreApplication::arguments();
    QImage Screen = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
    if (Screen.isNull()) {
        std::fputs("cannot grab the screen\n", stderr);
        return 2;
    }
    Screen = Screen.convertToFormat(QImage::Format_RGB32);
    QString SavePath;
    for (qsizetype I = 1; I < Args.size(); ++I) {
        if (Args[I] == QStringLiteral("--crop") && I + 4 < Args.size()) {
            const QRect Part(Args[I + 1].toInt(), Args[I + 2].toInt(), Args[I + 3].toInt(),
                             Args[I + 4].toInt());
            Screen = Screen.copy(Part);
            I += 4;
        } else if (Args[I] == QStringLiteral("--save") && I + 1 < Args.size()) {
            SavePath = Args[++I];
        } else {
            std::fprintf(stderr, "unknown argument %s\n", qPrintable(Args[I]));
            return 2;
        }
    }
    if (!SavePath.isEmpty() && !Screen.save(SavePath, "PNG")) {
        std::fprintf(stderr, "cannot save %s\n", qPrintable(SavePath));
        return 2;
    }
    std::printf("online=%d offline=%d\n", CountFrames(Screen, BorderOnLine),
                CountFrames(Screen, BorderOffLine));
    return 0;
}
