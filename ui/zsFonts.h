// The fonts the windows are designed with, asked for by name with the installed family whose
// metrics come nearest as fallback, so that texts keep their designed widths and positions on
// systems without the design font.
//
//   QFont f = DesignFont(QStringLiteral("Segoe UI"));   // Segoe UI, else Open Sans, else ...
//   f.setPointSize(8);
#pragma once

#include <QFont>
#include <QStringList>

// Family followed by its fallbacks, nearest metrics first. "Segoe UI" falls back to Open Sans
// (digits 0.572 em against 0.579, ascent 1.069 against 1.079), then Noto Sans, which shares
// those metrics, then the wider Liberation Sans and DejaVu Sans. Other families have none.
QStringList DesignFontFamilies(const QString& Family);

// A regular font of Family with its fallbacks and a sans-serif style hint.
QFont DesignFont(const QString& Family);
