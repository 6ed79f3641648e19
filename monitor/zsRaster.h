// TRaster is a 32-bit 0xAARRGGBB picture (QImage::Format_ARGB32) with the handful of drawing
// operations the monitor graph needs, done by hand so that every pixel lands exactly where the
// graph's geometry puts it. Text is the one thing left to QPainter.
//
//   TRaster r;
//   r.SetSize(250, 144);
//   r.FillRect(0, 0, 250, 144, 0xFF000000);   // half-open rectangle
//   r.SetPen(0xFF20FF10); r.MoveTo(10, 10); r.LineTo(40, 20);  // end point not drawn
//
// On a screen of more than one device pixel per logical pixel the raster holds Scale x Scale
// device pixels for every logical one (SetScale): every operation still takes logical
// coordinates and follows the same pixel rules, each logical pixel filling its square of device
// pixels, while text is drawn at the device resolution. At scale 1 the two are the same.
#pragma once

#include "zsRound.h"

#include <QFont>
#include <QImage>
#include <QRect>
#include <QString>

#include <algorithm>

#include <climits>
#include <cstdint>

using TRasterColor = std::uint32_t; // 0xAARRGGBB
using TColor = std::uint32_t;       // 0x00BBGGRR, the colour form of labels and text

// Text colour value to QColor (the alpha byte of a TColor is not an alpha).
QColor QColorFromTColor(TColor Color);

class TRaster {
public:
    TRaster();

    // Logical size.
    int Width() const { return FWidth; }
    int Height() const { return FHeight; }
    // Device pixels per logical pixel, 1 or more.
    int Scale() const { return FScale; }
    // The device pixels, Width() x Scale() by Height() x Scale(), with Scale() as the image's
    // device pixel ratio.
    const QImage& Image() const { return FImage; }
    // The logical pixel (the top-left device pixel of its square).
    TRasterColor Pixel(int X, int Y) const;
    TRasterColor DevicePixel(int X, int Y) const;

    // Negative sizes count as 0; asking for the size it already has keeps the pixels.
    void SetSize(int W, int H);
    // Scales below 1 count as 1; a new scale starts the pixels afresh (all 0).
    void SetScale(int Scale);

    void Clear(TRasterColor Color);
    void FillRect(int Left, int Top, int Right, int Bottom, TRasterColor Color);
    void FrameRect(int Left, int Top, int Right, int Bottom, TRasterColor Color);
    // Horizontal or vertical, both end points covered.
    void GridLine(int X1, int Y1, int X2, int Y2, TRasterColor Color);
    // X1..X2 inclusive on row Y.
    void StatLine(int X1, int Y, int X2, TRasterColor Color);

    void SetPen(TRasterColor Color) { FPen = Color; }
    TRasterColor Pen() const { return FPen; }
    void MoveTo(int X, int Y);
    // Bresenham from the pen position, the end point excluded; the pen then moves to (X, Y).
    void LineTo(int X, int Y);

    void SetFont(const QFont& Font) { FFont = Font; }
    void SetTextColor(TColor Color) { FTextColor = Color; }
    void TextOut(int X, int Y, const QString& Text);
    int TextWidth(const QString& Text) const;
    int TextHeight(const QString& Text) const;
    // Every pixel TextOut(X, Y, Text) may touch lies in this rectangle (with a pixel to spare on
    // each side for the smoothing at the glyphs' edges).
    QRect TextRect(int X, int Y, const QString& Text) const;

    // The pixels of Source's rectangle (Left, Top)+(Width x Height of this raster) into the whole
    // of this raster; parts outside Source are left as they were.
    void CopyFrom(const TRaster& Source, int Left, int Top);
    // Source whole, top-left at (X, Y), opaque, clipped.
    void Draw(int X, int Y, const TRaster& Source);

    // Limits the line and fill operations and CopyFrom to the logical columns Left..Right - 1
    // (on top of the raster's own edges). A clipped line sets exactly the pixels of the unclipped
    // one that lie within the columns, so a part of a picture can be drawn again in place.
    void SetClipColumns(int Left, int Right);
    void ResetClip();

private:
    void Allocate();
    // The columns drawing may touch: the clip within the raster, half-open.
    int ColumnsFrom() const { return std::max(FClipLeft, 0); }
    int ColumnsTo() const { return std::min(FClipRight, FWidth); }
    // What text is measured on: logical pixels at the layout's resolution.
    const QPaintDevice* TextDevice() const;
    void HorizontalRun(int X1, int X2, int Y, TRasterColor Color); // inclusive, clipped
    void VerticalRun(int X, int Y1, int Y2, TRasterColor Color);   // inclusive, clipped
    // The square of device pixels of logical pixel (X, Y), which lies inside the raster.
    void PutScaled(long long X, long long Y, TRasterColor Color, bool Opaque);
    // Device rows.
    TRasterColor* Row(int Y) { return reinterpret_cast<TRasterColor*>(FImage.scanLine(Y)); }

    QImage FImage; // null while either side is 0
    int FWidth = 0;
    int FHeight = 0;
    int FScale = 1;
    TRasterColor FPen = 0xFF000000;
    int FPenX = 0;
    int FPenY = 0;
    int FClipLeft = 0;        // logical, included
    int FClipRight = INT_MAX; // logical, excluded
    QFont FFont;
    TColor FTextColor = 0;
};
