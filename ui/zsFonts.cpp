#include "zsFonts.h"

QStringList DesignFontFamilies(const QString& Family) {
    QStringList Families{Family};
    if (Family.compare(QLatin1String("Segoe UI"), Qt::CaseInsensitive) == 0) {
        Families << QStringLiteral("Open Sans") << QStringLiteral("Noto Sans")
                 << QStringLiteral("Liberation Sans") << QStringLiteral("DejaVu Sans");
    }
    return Families;
}

QFont DesignFont(const QString& Family) {
    QFont Font;
    Font.setFamilies(DesignFontFamilies(Family));
    Font.setStyleHint(QFont::SansSerif);
    Font.setWeight(QFont::Normal);
    Font.setItalic(false);
    return Font;
}
