// Looks at the X screen the end-to-end test runs the program on: counts the monitor graphs
// that show a host on line (a dark green frame around the graph) and off line (a red one),
// and can save the screen, or a part of it, as a PNG.
//
//   vantorel_e2e_screen [--crop X Y W H] [--save FILE.png]   prints "online=N offline=M"
//   ... --background RRGGBB   also prints " window=X,Y,W,H": the rows and columns holding at
//                             least 40 pixels of another colour (one window on a plain desktop;
//                             a pointer sprite is smaller), or window=none
//   ... --count RRGGBB        also prints " RRGGBB=N": how many pixels have exactly that colour
//                             (may be given more than once)
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
#include <vector>

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

// The bounding box of the rows and columns that hold at least MinRun pixels not of Background.
QRect WindowBounds(const QImage& Screen, QRgb Background) {
    constexpr int MinRun = 40;
    std::vector<int> Rows(Screen.height()), Columns(Screen.width());
    for (int Y = 0; Y < Screen.height(); ++Y) {
        for (int X = 0; X < Screen.width(); ++X) {
            if ((Screen.pixel(X, Y) | 0xFF000000) != Background) {
                ++Rows[Y];
                ++Columns[X];
            }
        }
    }
    const auto First = [](const std::vector<int>& Counts) {
        for (size_t I = 0; I < Counts.size(); ++I)
            if (Counts[I] >= MinRun)
                return int(I);
        return -1;
    };
    const auto Last = [](const std::vector<int>& Counts) {
        for (size_t I = Counts.size(); I-- > 0;)
            if (Counts[I] >= MinRun)
                return int(I);
        return -1;
    };
    if (First(Rows) < 0 || First(Columns) < 0)
        return {};
    return QRect(QPoint(First(Columns), First(Rows)), QPoint(Last(Columns), Last(Rows)));
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
    bool Bounds = false;
    QRgb Background = 0;
    QStringList Counted;
    for (qsizetype I = 1; I < Args.size(); ++I) {
        if (Args[I] == QStringLiteral("--crop") && I + 4 < Args.size()) {
            const QRect Part(Args[I + 1].toInt(), Args[I + 2].toInt(), Args[I + 3].toInt(),
                             Args[I + 4].toInt());
            Screen = Screen.copy(Part);
            I += 4;
        } else if (Args[I] == QStringLiteral("--save") && I + 1 < Args.size()) {
            SavePath = Args[++I];
        } else if (Args[I] == QStringLiteral("--background") && I + 1 < Args.size()) {
            Bounds = true;
            Background = 0xFF000000 | Args[++I].toUInt(nullptr, 16);
        } else if (Args[I] == QStringLiteral("--count") && I + 1 < Args.size()) {
            Counted << Args[++I].toLower();
        } else {
            std::fprintf(stderr, "unknown argument %s\n", qPrintable(Args[I]));
            return 2;
        }
    }
    if (!SavePath.isEmpty() && !Screen.save(SavePath, "PNG")) {
        std::fprintf(stderr, "cannot save %s\n", qPrintable(SavePath));
        return 2;
    }
    std::printf("online=%d offline=%d", CountFrames(Screen, BorderOnLine),
                CountFrames(Screen, BorderOffLine));
    if (Bounds) {
        const QRect Window = WindowBounds(Screen, Background);
        if (Window.isEmpty())
            std::printf(" window=none");
        else
            std::printf(" window=%d,%d,%d,%d", Window.x(), Window.y(), Window.width(),
                        Window.height());
    }
    for (const QString& Name : Counted) {
        const QRgb Colour = 0xFF000000 | Name.toUInt(nullptr, 16);
        int Count = 0;
        for (int Y = 0; Y < Screen.height(); ++Y) {
            for (int X = 0; X < Screen.width(); ++X) {
                Count += (Screen.pixel(X, Y) | 0xFF000000) == Colour ? 1 : 0;
            }
        }
        std::printf(" %s=%d", qPrintable(Name), Count);
    }
    std::printf("\n");
    return 0;
}
