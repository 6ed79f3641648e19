#include "zsImageList.h"

#include <QHash>
#include <QPainter>
#include <QSvgRenderer>

#include <algorithm>

static void InitResourcesOnce() {
    Q_INIT_RESOURCE(vantorel);
}

void InitVantorelResources() {
    static const bool Done = (InitResourcesOnce(), true);
    (void)Done;
}

namespace {

QImage RenderSvg(const QString& Path, int Width, int Height) {
    QImage Image(Width, Height, QImage::Format_ARGB32_Premultiplied);
    Image.fill(Qt::transparent);
    if (Path.isEmpty()) {
        return Image;
    }
    // Every window asks for the same few pictures; rendering each size once keeps window
    // creation cheap. Only the user-interface thread renders pictures.
    static QHash<QString, QImage> Cache;
    const QString Key = Path + QLatin1Char('@') + QString::number(Width) + QLatin1Char('x') +
                        QString::number(Height);
    const auto It = Cache.constFind(Key);
    if (It != Cache.constEnd()) {
        return *It;
    }
    InitVantorelResources();
    QSvgRenderer Renderer(Path);
    if (Renderer.isValid()) {
        QPainter Painter(&Image);
        Renderer.render(&Painter, QRectF(0, 0, Width, Height));
    } else {
        qWarning("Vantorel: picture %s could not be loaded", qPrintable(Path));
    }
    Cache.insert(Key, Image);
    return Image;
}

int Clamp255(double v) {
    return std::clamp(static_cast<int>(v + 0.5), 0, 255);
}

} // namespace

TzsImageList::TzsImageList(int Width, int Height) : FWidth(Width), FHeight(Height) {}

void TzsImageList::AddSvg(const QString& Path) {
    Add(RenderSvg(Path, FWidth, FHeight), RenderSvg(Path, FWidth * 2, FHeight * 2));
}

void TzsImageList::Add(const QImage& Image1x, const QImage& Image2x) {
    FImages.push_back({Image1x, Image2x, {}, {}});
}

QImage TzsImageList::Image(int Index, int Scale) const {
    if (Index < 0 || Index >= Count()) {
        return {};
    }
    const TEntry& E = FImages[static_cast<size_t>(Index)];
    return Scale > 1 && !E.X2.isNull() ? E.X2 : E.X1;
}

QPixmap TzsImageList::Pixmap(int Index, qreal DevicePixelRatio) const {
    const bool Dense = DevicePixelRatio > 1.0;
    const QImage Source = Image(Index, Dense ? 2 : 1);
    if (Source.isNull()) {
        return {};
    }
    const TEntry& E = FImages[static_cast<size_t>(Index)];
    QPixmap& Made = Dense && !E.X2.isNull() ? E.Pixmap2x : E.Pixmap1x;
    if (Made.isNull()) {
        Made = QPixmap::fromImage(Source);
        Made.setDevicePixelRatio(static_cast<qreal>(Source.width()) / FWidth);
    }
    return Made;
}

QImage TzsImageList::DeriveLook(const QImage& Source, TImageLook Look) {
    if (Look == TImageLook::Normal || Source.isNull()) {
        return Source;
    }
    QImage Image = Source.convertToFormat(QImage::Format_ARGB32);
    bool Blank = true;
    for (int y = 0; y < Image.height(); ++y) {
        auto* Line = reinterpret_cast<QRgb*>(Image.scanLine(y));
        for (int x = 0; x < Image.width(); ++x) {
            const QRgb P = Line[x];
            const int A = qAlpha(P);
            if (A == 0) {
                continue;
            }
            Blank = false;
            const double R = qRed(P), G = qGreen(P), B = qBlue(P);
            if (Look == TImageLook::Hot) {
                // Lifted toward white, so the pointer-over look stands out
                // on the dark panels without changing the picture's hue.
                Line[x] = qRgba(Clamp255(R * 1.18 + 34), Clamp255(G * 1.18 + 34),
                                Clamp255(B * 1.18 + 34), A);
            } else {
                // Grey of the same lightness, compressed into a mid-grey band and slightly
                // faded, so every disabled picture reads as "off" but stays recognisable.
                const double Lum = 0.299 * R + 0.587 * G + 0.114 * B;
                const int Grey = Clamp255(88 + Lum * 0.36);
                Line[x] = qRgba(Grey, Grey, Grey, Clamp255(A * 0.85));
            }
        }
    }
    Image = Image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    if (Look != TImageLook::Hot || Blank) {
        return Image;
    }
    // Light pictures are near white already; a faint plate behind them makes the pointer-over
    // look visible for every picture on the dark panels.
    QImage Result(Image.size(), QImage::Format_ARGB32_Premultiplied);
    Result.fill(Qt::transparent);
    QPainter Painter(&Result);
    Painter.setRenderHint(QPainter::Antialiasing);
    Painter.setPen(Qt::NoPen);
    Painter.setBrush(QColor(255, 255, 255, 34));
    const qreal Radius = Image.width() / 5.0;
    Painter.drawRoundedRect(QRectF(Image.rect()), Radius, Radius);
    Painter.drawImage(0, 0, Image);
    Painter.end();
    return Result;
}

TzsImageList TzsImageList::Derived(TImageLook Look) const {
    TzsImageList Result(FWidth, FHeight);
    for (const TEntry& E : FImages) {
        Result.Add(DeriveLook(E.X1, Look), DeriveLook(E.X2, Look));
    }
    return Result;
}

QStringList TSharedImageLists::StandardPaths() {
    static const char* const Names[StandardCount] = {"std24_00_new_monitor",
                                                     "std24_01_close_all",
                                                     "std24_02_new_group",
                                                     "std24_03_delete_group",
                                                     nullptr,
                                                     nullptr,
                                                     nullptr,
                                                     nullptr,
                                                     "std24_08_web_page",
                                                     "std24_09_hints_on",
                                                     "std24_10_hints_off",
                                                     "std24_11_chart_span",
                                                     "std24_12_chart_range",
                                                     "std24_13_frequency",
                                                     "std24_14_logging_on",
                                                     "std24_15_logging_off",
                                                     "std24_16_friendly_names",
                                                     "std24_17_alerting_on",
                                                     "std24_18_alerting_off",
                                                     "std24_19_payload_size",
                                                     "std24_20_ok",
                                                     "std24_21_cancel",
                                                     "std24_22_timeout",
                                                     "std24_23_configuration",
                                                     "std24_24_toggle_view",
                                                     "std24_25_about"};
    QStringList Paths;
    for (const char* Name : Names) {
        Paths << (Name ? QStringLiteral(":/icons/%1.svg").arg(QLatin1String(Name)) : QString());
    }
    return Paths;
}

TSharedImageLists::TSharedImageLists()
    : ImgStandard24(24, 24), imgHot24(24, 24), ImgDisabled24(24, 24), ImgWindows16(24, 24),
      ImageWindows16Hot(24, 24), ImgWindows16Dis(24, 24) {
    for (const QString& Path : StandardPaths()) {
        ImgStandard24.AddSvg(Path);
    }
    for (const char* Name :
         {"win24_00_close", "win24_01_maximize", "win24_02_minimize", "win24_03_restore"}) {
        ImgWindows16.AddSvg(QStringLiteral(":/icons/%1.svg").arg(QLatin1String(Name)));
    }
    imgHot24 = ImgStandard24.Derived(TImageLook::Hot);
    ImgDisabled24 = ImgStandard24.Derived(TImageLook::Disabled);
    ImageWindows16Hot = ImgWindows16.Derived(TImageLook::Hot);
    ImgWindows16Dis = ImgWindows16.Derived(TImageLook::Disabled);
    // The header icon is shown through a disabled button but keeps its colours.
    ImgWindows16Dis.AddSvg(QStringLiteral(":/icons/vantorel.svg"));
}

TPingerImageLists::TPingerImageLists() : ImgStandard16(16, 16), ImgHot16(16, 16), ImgDis16(16, 16) {
    ImgStandard16.AddSvg(QStringLiteral(":/icons/mon16_00_close.svg"));
    ImgStandard16.AddSvg(QStringLiteral(":/icons/mon16_01_ping.svg"));
    // The ping indicator looks the same under the pointer: it is a lamp, not a button.
    ImgHot16 = TzsImageList(16, 16);
    ImgHot16.Add(TzsImageList::DeriveLook(ImgStandard16.Image(Close, 1), TImageLook::Hot),
                 TzsImageList::DeriveLook(ImgStandard16.Image(Close, 2), TImageLook::Hot));
    ImgHot16.Add(ImgStandard16.Image(PingIndicator, 1), ImgStandard16.Image(PingIndicator, 2));
    ImgDis16 = ImgStandard16.Derived(TImageLook::Disabled);
}

QImage VantorelIconImage(int Size) {
    return RenderSvg(QStringLiteral(":/icons/vantorel.svg"), Size, Size);
}
