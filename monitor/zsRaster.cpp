#include "zsRaster.h"

#include <QFontMetrics>
#include <QPainter>

#include <algorithm>
#include <climits>
#include <cstring>

namespace {

// 96 dots per inch, the resolution the graph's 8-point text is laid out for; pinned so that the
// text extents do not depend on the screen the program happens to start on.
constexpr int RasterDotsPerMeter = 3780;

TRasterColor Blend(TRasterColor Dst, TRasterColor Src) {
    const std::uint32_t A = Src >> 24;
    if (A == 0xFF) {
        return Src;
    }
    if (A == 0) {
        return Dst;
    }
    const std::uint32_t DA = Dst >> 24;
    // Non-premultiplied source-over.
    const std::uint32_t OutA = A + DA * (255 - A) / 255;
    if (OutA == 0) {
        return 0;
    }
    auto Channel = [&](int Shift) {
        const std::uint32_t S = (Src >> Shift) & 0xFF;
        const std::uint32_t D = (Dst >> Shift) & 0xFF;
        return ((S * A + D * DA * (255 - A) / 255) / OutA) & 0xFF;
    };
    return (OutA << 24) | (Channel(16) << 16) | (Channel(8) << 8) | Channel(0);
}

// A raster of one logical pixel at scale 1: the text extents of a scaled raster come from it,
// so that text sits where it sits at scale 1.
const QImage& LogicalTextDevice() {
    static const QImage Device = [] {
        QImage I(1, 1, QImage::Format_ARGB32);
        I.setDotsPerMeterX(RasterDotsPerMeter);
        I.setDotsPerMeterY(RasterDotsPerMeter);
        return I;
    }();
    return Device;
}

} // namespace

QColor QColorFromTColor(TColor Color) {
    return QColor(int(Color & 0xFF), int((Color >> 8) & 0xFF), int((Color >> 16) & 0xFF));
}

TRaster::TRaster() : FImage(0, 0, QImage::Format_ARGB32) {}

TRasterColor TRaster::Pixel(int X, int Y) const {
    if (X < 0 || Y < 0 || X >= Width() || Y >= Height()) {
        return 0;
    }
    return DevicePixel(X * FScale, Y * FScale);
}

TRasterColor TRaster::DevicePixel(int X, int Y) const {
    if (X < 0 || Y < 0 || X >= FImage.width() || Y >= FImage.height()) {
        return 0;
    }
    return reinterpret_cast<const TRasterColor*>(FImage.constScanLine(Y))[X];
}

void TRaster::SetSize(int W, int H) {
    W = std::max(W, 0);
    H = std::max(H, 0);
    if (W == Width() && H == Height()) {
        return;
    }
    FWidth = W;
    FHeight = H;
    Allocate();
}

void TRaster::SetScale(int Scale) {
    Scale = std::max(Scale, 1);
    if (Scale == FScale) {
        return;
    }
    FScale = Scale;
    Allocate();
}

void TRaster::Allocate() {
    FImage = QImage(FWidth * FScale, FHeight * FScale, QImage::Format_ARGB32);
    // The logical resolution stays that of the text layout; the device pixel ratio makes a
    // painter draw text at the device resolution.
    FImage.setDotsPerMeterX(RasterDotsPerMeter);
    FImage.setDotsPerMeterY(RasterDotsPerMeter);
    FImage.setDevicePixelRatio(FScale);
    if (!FImage.isNull()) {
        FImage.fill(0u);
    }
}

void TRaster::Clear(TRasterColor Color) {
    if (!FImage.isNull()) {
        FImage.fill(Color);
    }
}

void TRaster::HorizontalRun(int X1, int X2, int Y, TRasterColor Color) {
    if (Y < 0 || Y >= Height()) {
        return;
    }
    X1 = std::max(X1, ColumnsFrom());
    X2 = std::min(X2, ColumnsTo() - 1);
    if (X1 > X2) {
        return;
    }
    for (int DY = Y * FScale; DY < (Y + 1) * FScale; ++DY) {
        TRasterColor* P = Row(DY);
        std::fill(P + X1 * FScale, P + (X2 + 1) * FScale, Color);
    }
}

void TRaster::VerticalRun(int X, int Y1, int Y2, TRasterColor Color) {
    if (X < ColumnsFrom() || X >= ColumnsTo()) {
        return;
    }
    Y1 = std::max(Y1, 0);
    Y2 = std::min(Y2, Height() - 1);
    if (Y1 > Y2) {
        return;
    }
    if (FScale != 1) {
        for (int DY = Y1 * FScale; DY < (Y2 + 1) * FScale; ++DY) {
            TRasterColor* P = Row(DY);
            std::fill(P + X * FScale, P + (X + 1) * FScale, Color);
        }
        return;
    }
    TRasterColor* P = Row(Y1) + X;
    const qsizetype Stride = FImage.bytesPerLine() / qsizetype(sizeof(TRasterColor));
    for (int Y = Y1; Y <= Y2; ++Y, P += Stride) {
        *P = Color;
    }
}

void TRaster::PutScaled(long long X, long long Y, TRasterColor Color, bool Opaque) {
    for (long long DY = Y * FScale; DY < (Y + 1) * FScale; ++DY) {
        TRasterColor* P = Row(int(DY));
        for (long long DX = X * FScale; DX < (X + 1) * FScale; ++DX) {
            P[DX] = Opaque ? Color : Blend(P[DX], Color);
        }
    }
}

void TRaster::FillRect(int Left, int Top, int Right, int Bottom, TRasterColor Color) {
    const int T = std::max(Top, 0);
    const int B = std::min(Bottom, Height());
    if (Right <= Left) {
        return;
    }
    for (int Y = T; Y < B; ++Y) {
        HorizontalRun(Left, Right - 1, Y, Color);
    }
}

void TRaster::FrameRect(int Left, int Top, int Right, int Bottom, TRasterColor Color) {
    if (Right <= Left || Bottom <= Top) {
        return;
    }
    HorizontalRun(Left, Right - 1, Top, Color);
    HorizontalRun(Left, Right - 1, Bottom - 1, Color);
    VerticalRun(Left, Top + 1, Bottom - 2, Color);
    VerticalRun(Right - 1, Top + 1, Bottom - 2, Color);
}

void TRaster::GridLine(int X1, int Y1, int X2, int Y2, TRasterColor Color) {
    if (Y1 == Y2) {
        HorizontalRun(std::min(X1, X2), std::max(X1, X2), Y1, Color);
    } else if (X1 == X2) {
        VerticalRun(X1, std::min(Y1, Y2), std::max(Y1, Y2), Color);
    }
}

void TRaster::StatLine(int X1, int Y, int X2, TRasterColor Color) {
    HorizontalRun(X1, X2, Y, Color);
}

void TRaster::MoveTo(int X, int Y) {
    FPenX = X;
    FPenY = Y;
}

void TRaster::LineTo(int X, int Y) {
    // The pixel of step i is computed in closed form (round-half-up of i * minor / major), so
    // only the steps whose major coordinate lies inside the raster are visited: a segment from
    // far outside costs no more than one across the raster.
    const long long X0 = FPenX, Y0 = FPenY;
    const long long DX = std::llabs(X - X0), DY = std::llabs(Y - Y0);
    const int SX = X >= X0 ? 1 : -1, SY = Y >= Y0 ? 1 : -1;
    FPenX = X;
    FPenY = Y;
    const bool XMajor = DX >= DY;
    const long long Major = XMajor ? DX : DY;
    const long long Minor = XMajor ? DY : DX;
    if (Major == 0) {
        return;
    }
    const long long M0 = XMajor ? X0 : Y0;
    const int MS = XMajor ? SX : SY;
    const int XFrom = ColumnsFrom(), XTo = ColumnsTo();
    const long long Low = XMajor ? XFrom : 0;
    const long long Limit = XMajor ? XTo : Height();
    // Steps i in [0, Major) with Low <= M0 + MS * i < Limit.
    long long First = 0, Last = Major - 1;
    if (MS > 0) {
        First = std::max(First, Low - M0);
        Last = std::min(Last, Limit - 1 - M0);
    } else {
        First = std::max(First, M0 - Limit + 1);
        Last = std::min(Last, M0 - Low);
    }
    if (First > Last) {
        return;
    }
    const int H = Height();
    // One detach for the whole line, then plain pointer arithmetic.
    TRasterColor* Bits = reinterpret_cast<TRasterColor*>(FImage.bits());
    const long long Stride = Width(); // 32-bit pixels: rows are never padded
    const bool Opaque = (FPen >> 24) == 0xFF;

    if (Minor == 0 && Opaque) {
        // Horizontal or vertical: the common case of a dense graph, a plain run of stores.
        const long long Fixed = XMajor ? Y0 : X0;
        if (XMajor ? (Fixed < 0 || Fixed >= H) : (Fixed < XFrom || Fixed >= XTo)) {
            return;
        }
        const long long From = M0 + MS * First, To = M0 + MS * Last;
        const long long Lo = std::min(From, To), Hi = std::max(From, To);
        if (FScale != 1) {
            if (XMajor) {
                HorizontalRun(int(Lo), int(Hi), int(Fixed), FPen);
            } else {
                VerticalRun(int(Fixed), int(Lo), int(Hi), FPen);
            }
        } else if (XMajor) {
            std::fill(Bits + Fixed * Stride + Lo, Bits + Fixed * Stride + Hi + 1, FPen);
        } else {
            TRasterColor* P = Bits + Lo * Stride + Fixed;
            for (long long Y = Lo; Y <= Hi; ++Y, P += Stride) {
                *P = FPen;
            }
        }
        return;
    }

    // Offset of the minor coordinate at step First, then stepped like any Bresenham line:
    // Num = 2 * I * Minor + Major, Off = Num div (2 * Major), Rem = Num mod (2 * Major).
    const long long Den = 2 * Major;
    long long Off, Rem;
    if (First < (1LL << 30) && Minor < (1LL << 30)) {
        const long long Num0 = 2 * First * Minor + Major;
        Off = Num0 / Den;
        Rem = Num0 % Den;
    } else {
        const __int128 Num0 = __int128(2) * First * Minor + Major;
        Off = static_cast<long long>(Num0 / Den);
        Rem = static_cast<long long>(Num0 % Den);
    }
    const long long Inc = 2 * Minor;
    for (long long I = First; I <= Last; ++I) {
        const long long PX = XMajor ? X0 + SX * I : X0 + SX * Off;
        const long long PY = XMajor ? Y0 + SY * Off : Y0 + SY * I;
        if (PX >= XFrom && PY >= 0 && PX < XTo && PY < H) {
            if (FScale != 1) {
                PutScaled(PX, PY, FPen, Opaque);
            } else {
                TRasterColor& P = Bits[PY * Stride + PX];
                P = Opaque ? FPen : Blend(P, FPen);
            }
        }
        Rem += Inc;
        if (Rem >= Den) { // Minor <= Major: at most one carry per step
            Rem -= Den;
            ++Off;
        }
    }
}

void TRaster::TextOut(int X, int Y, const QString& Text) {
    if (FImage.isNull() || Text.isEmpty()) {
        return;
    }
    QPainter Painter(&FImage); // scaled by the image's device pixel ratio
    Painter.setFont(FFont);
    Painter.setPen(QColorFromTColor(FTextColor));
    const QFontMetrics Metrics(FFont, TextDevice());
    Painter.drawText(X, Y + Metrics.ascent(), Text);
}

const QPaintDevice* TRaster::TextDevice() const {
    return FScale == 1 ? static_cast<const QPaintDevice*>(&FImage) : &LogicalTextDevice();
}

int TRaster::TextWidth(const QString& Text) const {
    return QFontMetrics(FFont, TextDevice()).horizontalAdvance(Text);
}

int TRaster::TextHeight(const QString& Text) const {
    Q_UNUSED(Text);
    return QFontMetrics(FFont, TextDevice()).height();
}

QRect TRaster::TextRect(int X, int Y, const QString& Text) const {
    const QFontMetrics Metrics(FFont, TextDevice());
    return Metrics.boundingRect(Text).translated(X, Y + Metrics.ascent()).adjusted(-1, -1, 1, 1);
}

// Both rasters are taken at this raster's scale: the offsets are scaled and the rest is done in
// device pixels.
void TRaster::CopyFrom(const TRaster& Source, int Left, int Top) {
    Left *= FScale;
    Top *= FScale;
    const int From = ColumnsFrom() * FScale, To = std::max(ColumnsTo(), 0) * FScale;
    for (int Y = 0; Y < FImage.height(); ++Y) {
        const int SY = Top + Y;
        if (SY < 0 || SY >= Source.FImage.height()) {
            continue;
        }
        const int X1 = std::max(From, -Left);
        const int X2 = std::min(To, Source.FImage.width() - Left);
        if (X1 >= X2) {
            continue;
        }
        const auto* Src = reinterpret_cast<const TRasterColor*>(Source.FImage.constScanLine(SY));
        std::memcpy(Row(Y) + X1, Src + Left + X1, std::size_t(X2 - X1) * sizeof(TRasterColor));
    }
}

void TRaster::SetClipColumns(int Left, int Right) {
    FClipLeft = Left;
    FClipRight = Right;
}

void TRaster::ResetClip() {
    FClipLeft = 0;
    FClipRight = INT_MAX;
}

void TRaster::Draw(int X, int Y, const TRaster& Source) {
    X *= FScale;
    Y *= FScale;
    for (int SY = 0; SY < Source.FImage.height(); ++SY) {
        const int DY = Y + SY;
        if (DY < 0 || DY >= FImage.height()) {
            continue;
        }
        const int X1 = std::max(0, -X);
        const int X2 = std::min(Source.FImage.width(), FImage.width() - X);
        if (X1 >= X2) {
            continue;
        }
        const auto* Src = reinterpret_cast<const TRasterColor*>(Source.FImage.constScanLine(SY));
        std::memcpy(Row(DY) + X + X1, Src + X1, std::size_t(X2 - X1) * sizeof(TRasterColor));
    }
}
