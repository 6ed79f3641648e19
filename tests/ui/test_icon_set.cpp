// Checks the drawn icon set and writes a contact sheet of it (icon-set.png, on the dark panel
// colour) into the test-output folder for a look by eye.
#include "zsImageList.h"

#include <QDir>
#include <QPainter>
#include <gtest/gtest.h>

namespace {

int PixelsAbove(const QImage& Image, int Alpha) {
    int Count = 0;
    for (int y = 0; y < Image.height(); ++y) {
        for (int x = 0; x < Image.width(); ++x) {
            Count += qAlpha(Image.pixel(x, y)) > Alpha;
        }
    }
    return Count;
}

bool IsGrey(const QImage& Image) {
    for (int y = 0; y < Image.height(); ++y) {
        for (int x = 0; x < Image.width(); ++x) {
            const QRgb P = Image.pixel(x, y);
            if (qAlpha(P) > 0 && (qRed(P) != qGreen(P) || qGreen(P) != qBlue(P))) {
                return false;
            }
        }
    }
    return true;
}

bool IsUnusedStandardIndex(int i) {
    return i >= 4 && i <= 7;
}

TEST(IconSet, ListsHoldEveryPictureAtBothScales) {
    const TSharedImageLists Shared;
    const TPingerImageLists Pinger;
    struct Expect {
        const char* Name;
        const TzsImageList& List;
        int Size;
        int Count;
    };
    const Expect Lists[] = {{"ImgStandard24", Shared.ImgStandard24, 24, 26},
                            {"imgHot24", Shared.imgHot24, 24, 26},
                            {"ImgDisabled24", Shared.ImgDisabled24, 24, 26},
                            {"ImgWindows16", Shared.ImgWindows16, 24, 4},
                            {"ImageWindows16Hot", Shared.ImageWindows16Hot, 24, 4},
                            {"ImgWindows16Dis", Shared.ImgWindows16Dis, 24, 5},
                            {"ImgStandard16", Pinger.ImgStandard16, 16, 2},
                            {"ImgHot16", Pinger.ImgHot16, 16, 2},
                            {"ImgDis16", Pinger.ImgDis16, 16, 2}};
    for (const Expect& E : Lists) {
        SCOPED_TRACE(E.Name);
        ASSERT_EQ(E.List.Count(), E.Count);
        EXPECT_EQ(E.List.Width(), E.Size);
        for (int i = 0; i < E.Count; ++i) {
            SCOPED_TRACE(i);
            const bool Unused = E.Count == 26 && IsUnusedStandardIndex(i);
            EXPECT_EQ(E.List.Image(i, 1).size(), QSize(E.Size, E.Size));
            EXPECT_EQ(E.List.Image(i, 2).size(), QSize(E.Size * 2, E.Size * 2));
            EXPECT_EQ(E.List.Pixmap(i, 2.0).deviceIndependentSize(), QSizeF(E.Size, E.Size));
            if (Unused) { // stays blank in every look
                EXPECT_EQ(PixelsAbove(E.List.Image(i, 1), 0), 0);
                EXPECT_EQ(PixelsAbove(E.List.Image(i, 2), 0), 0);
            } else { // a picture that failed to load would be empty
                EXPECT_GT(PixelsAbove(E.List.Image(i, 1), 128), 6);
                EXPECT_GT(PixelsAbove(E.List.Image(i, 2), 128), 4 * 6);
            }
        }
        EXPECT_TRUE(E.List.Image(E.Count, 1).isNull());
    }
}

TEST(IconSet, DerivedLooksAreBrighterAndGrey) {
    const TSharedImageLists Shared;
    const TPingerImageLists Pinger;
    for (int i = 0; i < TSharedImageLists::StandardCount; ++i) {
        if (IsUnusedStandardIndex(i)) {
            continue;
        }
        SCOPED_TRACE(i);
        EXPECT_NE(Shared.imgHot24.Image(i), Shared.ImgStandard24.Image(i));
        EXPECT_TRUE(IsGrey(Shared.ImgDisabled24.Image(i)));
    }
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(IsGrey(Shared.ImgWindows16Dis.Image(i)));
    }
    EXPECT_FALSE(IsGrey(Shared.ImgWindows16Dis.Image(TSharedImageLists::WindowIcon)))
        << "the header icon keeps its colours";

    // A brighter red close button under the pointer; the ping lamp looks the same there.
    const QRgb Close = Pinger.ImgStandard16.Image(0).pixel(3, 3);
    const QRgb CloseHot = Pinger.ImgHot16.Image(0).pixel(3, 3);
    EXPECT_GT(qRed(Close), 2 * qGreen(Close));
    EXPECT_GT(qRed(CloseHot), qRed(Close));
    EXPECT_EQ(Pinger.ImgHot16.Image(1), Pinger.ImgStandard16.Image(1));
    EXPECT_TRUE(IsGrey(Pinger.ImgDis16.Image(1)));
}

void DrawRow(QPainter& P, const TzsImageList& List, int Scale, int Y, const QString& Caption) {
    P.setPen(QColor(200, 200, 200));
    P.drawText(QRect(8, Y, 150, 24 * Scale), Qt::AlignVCenter, Caption);
    for (int i = 0; i < List.Count(); ++i) {
        P.drawImage(QPoint(160 + i * (List.Width() * Scale + 10), Y), List.Image(i, Scale));
    }
}

TEST(IconSet, WritesContactSheet) {
    const TSharedImageLists Shared;
    const TPingerImageLists Pinger;
    QImage Sheet(160 + 26 * 58, 520, QImage::Format_ARGB32);
    Sheet.fill(QColor(24, 24, 24));
    QPainter P(&Sheet);
    QFont F = P.font();
    F.setPixelSize(11);
    P.setFont(F);
    int Y = 8;
    P.setPen(QColor(140, 140, 140));
    for (int i = 0; i < 26; ++i) {
        P.drawText(QRect(160 + i * 34, Y, 24, 14), Qt::AlignCenter, QString::number(i));
    }
    Y += 18;
    DrawRow(P, Shared.ImgStandard24, 1, Y, QStringLiteral("ImgStandard24"));
    DrawRow(P, Shared.imgHot24, 1, Y += 32, QStringLiteral("imgHot24"));
    DrawRow(P, Shared.ImgDisabled24, 1, Y += 32, QStringLiteral("ImgDisabled24"));
    DrawRow(P, Shared.ImgWindows16, 1, Y += 40, QStringLiteral("ImgWindows16"));
    DrawRow(P, Shared.ImageWindows16Hot, 1, Y += 32, QStringLiteral("ImageWindows16Hot"));
    DrawRow(P, Shared.ImgWindows16Dis, 1, Y += 32, QStringLiteral("ImgWindows16Dis"));
    DrawRow(P, Pinger.ImgStandard16, 1, Y += 40, QStringLiteral("ImgStandard16"));
    DrawRow(P, Pinger.ImgHot16, 1, Y += 24, QStringLiteral("ImgHot16"));
    DrawRow(P, Pinger.ImgDis16, 1, Y += 24, QStringLiteral("ImgDis16"));
    DrawRow(P, Shared.ImgStandard24, 2, Y += 36, QStringLiteral("ImgStandard24 @2x"));
    DrawRow(P, Shared.ImgWindows16Dis, 2, Y += 58, QStringLiteral("ImgWindows16Dis @2x"));
    DrawRow(P, Pinger.ImgStandard16, 2, Y += 58, QStringLiteral("ImgStandard16 @2x"));
    P.end();
    QDir().mkpath(QStringLiteral(VANTOREL_TEST_OUTPUT_DIR));
    const QString Path = QStringLiteral(VANTOREL_TEST_OUTPUT_DIR "/icon-set.png");
    ASSERT_TRUE(Sheet.save(Path));
}

} // namespace
