// The image element: pixels and planes, copies and cut-outs, boundary rectangles and
// the auto-crop, on odd widths so that row padding is always in play.
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core/pano_element.h"
#include "tests/support/address_space_cap.h"
#include "tests/support/dib_manager_fixture.h"

using PanoramaLib::IPanoElement;
using VarnoBase::Point;
using VarnoBase::Rect;

namespace {

// Holds the one reference an element is created with.
struct Elem {
    Elem() : e(new CPanoElement(false)) {}
    explicit Elem(CPanoElement* p) : e(p) {}
    // An element with bpp-bit pixels of w x h; failing to make them fails the test.
    Elem(int bpp, int w, int h) : Elem()
    {
        if (!e->CreateImage(bpp, w, h))
            throw std::runtime_error("CreateImage failed");
    }
    ~Elem() { IPanoElement::SafeRelease(e); }
    Elem(const Elem&) = delete;
    Elem& operator=(const Elem&) = delete;
    CPanoElement* operator->() const { return e; }
    CPanoElement* e;
};

u8* pixel(CPanoElement* e, int x, int y)
{
    return e->GetBits() + std::size_t(y) * e->GetBPL() + std::size_t(x) * (e->GetBPP() / 8);
}

u8& alphaAt(CPanoElement* e, int x, int y)
{
    return e->GetAlphaBits()[std::size_t(y) * e->GetAlphaBPL() + std::size_t(x)];
}

// Every pixel byte a function of its place, so misplaced rows or columns show.
void fillPattern(CPanoElement* e)
{
    const int bytes = e->GetBPP() / 8;
    for (int y = 0; y < e->GetHeight(); ++y)
        for (int x = 0; x < e->GetWidth() * bytes; ++x)
            e->GetBits()[std::size_t(y) * e->GetBPL() + x] = static_cast<u8>(x * 3 + y * 11);
}

class Element : public ::testing::Test {
protected:
    vltest::ScopedDibManager dibs;
};

// An element of w x h whose alpha plane is opaque exactly on the given span of each row
// (l, r inclusive; l > r for a transparent row). With `transposed` the same spans are
// laid along the columns of an h x w element.
CPanoElement* spanScene(const std::vector<std::pair<int, int>>& spans, int w, bool transposed = false)
{
    const int h = int(spans.size());
    auto* e = new CPanoElement(false);
    EXPECT_TRUE(e->CreateImage(24, transposed ? h : w, transposed ? w : h));
    e->AddAlphaChannel(false);
    for (int line = 0; line < h; ++line)
        for (int pos = spans[line].first; pos <= spans[line].second; ++pos)
            alphaAt(e, transposed ? line : pos, transposed ? pos : line) = 255;
    return e;
}

Rect transpose(const Rect& r)
{
    return {r.top, r.left, r.bottom, r.right};
}

}  // namespace

TEST_F(Element, FromFileLoadsOnceUnloadDropsPixelsAndAlphaAndLoadBringsThemBack)
{
    QTemporaryDir dir;
    const QString file = dir.filePath("a.png");
    Elem src(24, 21, 13);
    fillPattern(src.e);
    src->Unload();  // no file yet: nothing happens
    ASSERT_TRUE(src->HasBits() && src->Save(file.toStdWString()));
    EXPECT_EQ(src->GetFileName(), L"a.png");

    Elem e;
    ASSERT_TRUE(e->FromFile(file.toStdWString()));
    EXPECT_EQ(std::pair(e->GetBPP(), e->GetImageSize()), std::pair(24, VarnoBase::Size(21, 13)));
    EXPECT_EQ(*pixel(e.e, 4, 5), static_cast<u8>(12 * 3 + 5 * 11));
    e->m_errorMessage = L"keep";
    EXPECT_TRUE(!e->FromFile(file.toStdWString()) && e->GetErrorMessage() == L"keep");  // already has pixels
    Elem bad;
    EXPECT_TRUE(!bad->FromFile(dir.filePath("none.jpg").toStdWString()) && bad->GetErrorMessage() == L"File not found.");

    src->AddAlphaChannel(true);
    src->CreateBitmask();
    src->Unload();
    EXPECT_TRUE(!src->HasBits() && !src->GetAlphaBits() && src->GetBitmaskBits());
    EXPECT_EQ(src->GetImageSize(), VarnoBase::Size(21, 13));
    src->Load();
    ASSERT_TRUE(src->HasBits() && src->GetBitmaskBits());
    EXPECT_EQ(*pixel(src.e, 20, 12), static_cast<u8>(60 * 3 + 12 * 11));

    // Reloading a vanished file leaves the element without pixels, but intact.
    src->Unload();
    QFile::remove(file);
    src->Load();
    src->AddAlphaChannel(true);
    EXPECT_TRUE(!src->HasBits() && !src->GetAlphaBits() && !src->CutRectangle(Rect(0, 0, 2, 2), false));
}

TEST_F(Element, CreateImageFromPlanesSwapsToRedGreenBlue)
{
    const int w = 7, h = 3, stride = 9;
    std::vector<u8> blue(stride * h), green(stride * h), red(stride * h);
    for (int i = 0; i < stride * h; ++i)
        blue[i] = u8(i), green[i] = u8(100 + i), red[i] = u8(200 + i % 50);
    Elem e;
    EXPECT_FALSE(e->CreateImage(nullptr, green.data(), red.data(), w, h, stride));
    EXPECT_FALSE(e->CreateImage(blue.data(), green.data(), red.data(), 0, h, stride));
    ASSERT_TRUE(e->CreateImage(blue.data(), green.data(), red.data(), w, h, stride));
    EXPECT_EQ(std::pair(e->GetBPP(), e->GetBPL()), std::pair(24, 24));
    for (int y = 0; y < h; ++y)
        for (int x = 0, i = y * stride; x < w; ++x, ++i)
            ASSERT_EQ(std::vector<u8>(pixel(e.e, x, y), pixel(e.e, x, y) + 3),
                      std::vector<u8>({red[i], green[i], blue[i]}));
    EXPECT_FALSE(e->CreateImage(blue.data(), green.data(), red.data(), w, h, stride));  // has pixels

    Elem g;
    ASSERT_TRUE(g->CreateImage(blue.data(), 5, 2, stride));
    EXPECT_EQ(std::pair(g->GetBPP(), *pixel(g.e, 4, 1)), std::pair(8, blue[stride + 4]));
}

TEST_F(Element, FillsCoverTheRowPaddingAndPlanesNeedPixels)
{
    Elem e;
    EXPECT_FALSE(e->FillWhiteColor());
    EXPECT_EQ(e->CreateBitmask(), nullptr);  // no size yet
    ASSERT_TRUE(e->CreateImage(false, 10, 10, false));  // size, but no pixels yet
    e->AddAlphaChannel(true);
    EXPECT_EQ(e->GetAlphaBits(), nullptr);
    e->FreeImage();

    ASSERT_TRUE(e->CreateImage(24, 5, 3));
    ASSERT_TRUE(e->FillByValue(7));
    EXPECT_EQ(std::vector<u8>(e->GetBits(), e->GetBits() + e->GetBPL() * 3), std::vector<u8>(e->GetBPL() * 3, 7));
    ASSERT_TRUE(e->FillWhiteColor());
    EXPECT_EQ(e->GetBits()[e->GetBPL() * 3 - 1], 255);

    u8* mask = e->CreateBitmaskFromAlpha();
    ASSERT_NE(mask, nullptr);
    EXPECT_EQ(mask[8 * 3 - 1], 255);  // no alpha: all inside
    EXPECT_EQ(e->CreateBitmask(), mask);
    e->FreeBitmaskChannel();

    e->AddAlphaChannel(true);
    ASSERT_NE(e->GetAlphaBits(), nullptr);
    EXPECT_EQ(std::pair(e->GetAlphaBPL(), alphaAt(e.e, 4, 2)), std::pair(8, u8(255)));
    alphaAt(e.e, 0, 0) = 3;
    alphaAt(e.e, 2, 1) = 77;
    e->AddAlphaChannel(false);  // existing plane stays
    EXPECT_EQ(std::pair(alphaAt(e.e, 0, 0), alphaAt(e.e, 1, 0)), std::pair(u8(3), u8(255)));
    mask = e->CreateBitmaskFromAlpha();
    EXPECT_EQ(std::pair(mask[1 * 8 + 2], mask[0]), std::pair(u8(77), u8(3)));
    u16* weights = e->Create16Bitmask();
    ASSERT_NE(weights, nullptr);
    EXPECT_EQ(std::vector<u16>(weights, weights + 8 * 3), std::vector<u16>(8 * 3, 0));
    EXPECT_EQ(e->Create16Bitmask(), weights);
}

TEST_F(Element, FillAlphaTakesWorldOrLocalRectangles)
{
    Elem e(24, 9, 6);
    e->SetPosition({100, 50});
    e->FillAlphaByValue(Rect(0, 0, 5, 5), 9, false);  // no plane: nothing
    e->AddAlphaChannel(false);
    e->FillAlphaByValue(Rect(98, 48, 102, 52), 9, false);  // world, sticks out top-left
    e->FillAlphaByValue(Rect(7, 4, 20, 20), 5, true);      // local, sticks out bottom-right
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 9; ++x)
            ASSERT_EQ(alphaAt(e.e, x, y), (x < 2 && y < 2) ? 9 : (x >= 7 && y >= 4) ? 5 : 0) << x << "," << y;
}

TEST_F(Element, FlattenWhitensOnlyTransparentPixels)
{
    Elem e(24, 3, 1);
    e->FillByValue(10);
    e->AddAlphaChannel(false);
    std::memcpy(e->GetAlphaBits(), std::vector<u8>({0, 128, 255}).data(), 3);
    e->FlattenImage();
    ASSERT_EQ(e->GetAlphaBits(), nullptr);
    EXPECT_EQ(std::vector<u8>(e->GetBits(), e->GetBits() + 9), std::vector<u8>({255, 255, 255, 10, 10, 10, 10, 10, 10}));

    Elem grey(8, 3, 1);
    grey->FillByValue(10);
    grey->AddAlphaChannel(false);
    grey->FlattenImage();  // only colour elements are flattened
    EXPECT_TRUE(grey->GetBits()[0] == 10 && grey->GetAlphaBits());
}

TEST_F(Element, CopiesAreIndependentAndCopyingIntoNeedsTheSameRectangleAndDepth)
{
    Elem e(24, 11, 5);
    fillPattern(e.e);
    e->SetPosition({-4, 9});
    e->AddAlphaChannel(false);
    alphaAt(e.e, 10, 4) = 200;
    e->CreateBitmask();
    e->m_scale = 3.0;

    Elem copy(static_cast<CPanoElement*>(e->CopyImage()));
    ASSERT_NE(copy.e, nullptr);
    EXPECT_EQ(std::tuple(copy->RefCount(), copy->GetImageRect(), alphaAt(copy.e, 10, 4)),
              std::tuple(1, e->GetImageRect(), u8(200)));
    EXPECT_TRUE(!copy->GetBitmaskBits() && copy->m_scale == 1.0);  // mask and scale stay behind
    EXPECT_EQ(std::memcmp(copy->GetBits(), e->GetBits(), std::size_t(e->GetBPL()) * 5), 0);
    *pixel(copy.e, 0, 0) = 99;
    EXPECT_EQ(*pixel(e.e, 0, 0), 0);
    EXPECT_EQ(Elem().e->CopyImage(), nullptr);

    Elem dst(24, 11, 5);
    EXPECT_FALSE(e->CopyImage(nullptr));
    EXPECT_FALSE(e->CopyImage(dst.e));  // same size, other place
    dst->SetPosition({-4, 9});
    ASSERT_TRUE(e->CopyImage(dst.e));
    EXPECT_EQ(std::memcmp(dst->GetBits(), e->GetBits(), std::size_t(e->GetBPL()) * 5), 0);
    ASSERT_NE(dst->GetAlphaBits(), nullptr);
    EXPECT_EQ(alphaAt(dst.e, 10, 4), 200);

    Elem grey(8, 11, 5);
    grey->SetPosition({-4, 9});
    grey->FillByValue(5);
    EXPECT_FALSE(e->CopyImage(grey.e));  // other depth: refused, untouched
    EXPECT_TRUE(grey->GetBits()[0] == 5 && !grey->GetAlphaBits());
}

TEST_F(Element, FromImageReplacesPlanesOfAnotherSize)
{
    Elem small(24, 3, 2);
    small->AddAlphaChannel(true);
    small->CreateBitmask();
    small->Create16Bitmask();

    Elem big(24, 37, 21);
    fillPattern(big.e);
    big->AddAlphaChannel(false);
    alphaAt(big.e, 36, 20) = 17;
    big->SetPosition({5, 6});

    ASSERT_TRUE(small->FromImage(big.e));
    EXPECT_EQ(small->GetImageRect(), Rect(5, 6, 42, 27));
    ASSERT_NE(small->GetAlphaBits(), nullptr);
    EXPECT_EQ(std::pair(alphaAt(small.e, 36, 20), alphaAt(small.e, 0, 0)), std::pair(u8(17), u8(0)));
    EXPECT_TRUE(!small->GetBitmaskBits() && !small->Get16BitmaskBits());  // made for the old size
    small->FillAlphaByValue(Rect(0, 0, 37, 21), 1, true);  // the whole plane is there
    ASSERT_TRUE(small->FromImage(small.e));                 // from itself: a fresh store
    EXPECT_EQ(std::pair(alphaAt(small.e, 36, 20), *pixel(small.e, 3, 3)), std::pair(u8(1), *pixel(big.e, 3, 3)));

    // And back to a small source without alpha: the big plane must not survive.
    Elem tiny(24, 2, 2);
    ASSERT_TRUE(small->FromImage(tiny.e));
    EXPECT_EQ(small->GetAlphaBits(), nullptr);

    Elem empty;
    EXPECT_TRUE(!small->FromImage(empty.e) && !small->FromImage(nullptr) && small->GetWidth() == 2);
}

TEST_F(Element, CutRectangleCopiesAnInnerPartWithItsAlpha)
{
    for (int bpp : {24, 8}) {
        SCOPED_TRACE(bpp);
        Elem e(bpp, 13, 9);
        fillPattern(e.e);
        e->SetPosition({20, 30});
        e->AddAlphaChannel(false);
        for (int y = 0; y < 9; ++y)
            for (int x = 0; x < 13; ++x)
                alphaAt(e.e, x, y) = u8(x + 16 * y);

        for (const Rect& r : {Rect(19, 30, 25, 35), Rect(20, 30, 34, 39), Rect(25, 30, 25, 35)})  // out or empty
            EXPECT_EQ(e->CutRectangle(r, true), nullptr);

        Elem whole(e->CutRectangle(e->GetImageRect(), false));
        ASSERT_NE(whole.e, nullptr);
        EXPECT_TRUE(whole->GetImageRect() == e->GetImageRect() && !whole->GetAlphaBits());
        for (int y = 0; y < 9; ++y)
            ASSERT_EQ(std::memcmp(pixel(whole.e, 0, y), pixel(e.e, 0, y), std::size_t(13 * bpp / 8)), 0);

        Elem part(e->CutRectangle(Rect(23, 32, 30, 37), true));
        ASSERT_NE(part.e, nullptr);
        EXPECT_EQ(std::pair(part->GetImageRect(), part->GetBPP()), std::pair(Rect(23, 32, 30, 37), bpp));
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 7; ++x) {
                ASSERT_EQ(std::memcmp(pixel(part.e, x, y), pixel(e.e, x + 3, y + 2), std::size_t(bpp / 8)), 0);
                ASSERT_EQ(alphaAt(part.e, x, y), alphaAt(e.e, x + 3, y + 2));
            }
    }
}

TEST_F(Element, ChannelCutsFillOutsideWithZero)
{
    Elem e(24, 7, 5);
    e->SetPosition({10, 10});
    EXPECT_EQ(e->CutAlphaChannelRectangle(Rect(10, 10, 12, 12)), nullptr);  // no plane
    e->AddAlphaChannel(true);
    u8* mask = e->CreateBitmask();
    std::memset(mask, 3, std::size_t(e->GetBitmaskBPL()) * 5);

    Elem a(e->CutAlphaChannelRectangle(Rect(15, 13, 19, 17)));  // half outside
    ASSERT_NE(a.e, nullptr);
    EXPECT_EQ(std::pair(a->GetBPP(), a->GetImageRect()), std::pair(8, Rect(0, 0, 4, 4)));
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x)
            ASSERT_EQ(*pixel(a.e, x, y), (x < 2 && y < 2) ? 255 : 0) << x << "," << y;

    Elem m(e->CutBitmaskChannelRectangle(Rect(0, 0, 11, 11)));
    ASSERT_NE(m.e, nullptr);
    EXPECT_EQ(std::pair(*pixel(m.e, 10, 10), *pixel(m.e, 9, 10)), std::pair(u8(3), u8(0)));
    EXPECT_EQ(e->CutBitmaskChannelRectangle(Rect(3, 3, 3, 9)), nullptr);
}

TEST_F(Element, AlphaBoundaryRectFindsTheQualifyingPixels)
{
    Elem e(24, 15, 9);
    e->SetPosition({100, 50});
    EXPECT_EQ(e->GetAlphaBoundaryRect(nullptr, 1, false), Rect(100, 50, 115, 59));
    const Rect clip(90, 55, 105, 80);
    EXPECT_EQ(e->GetAlphaBoundaryRect(&clip, 1, false), Rect(100, 55, 105, 59));

    e->AddAlphaChannel(false);
    alphaAt(e.e, 3, 4) = 9;
    EXPECT_EQ(e->GetAlphaBoundaryRect(nullptr, 1, false), Rect(103, 54, 104, 55));
    const Rect none = e->GetAlphaBoundaryRect(nullptr, 10, false);
    EXPECT_TRUE(none.isEmpty() && none.left > none.right);
    EXPECT_TRUE(e->GetAlphaBoundaryRect(&clip, 1, false).isEmpty());  // (3, 4) lies above the clip
    const Rect lower(90, 52, 105, 80);
    EXPECT_EQ(e->GetAlphaBoundaryRect(&lower, 1, false), Rect(103, 54, 104, 55));
    const Rect away(106, 50, 115, 59);
    EXPECT_TRUE(e->GetAlphaBoundaryRect(&away, 1, false).isEmpty());

    alphaAt(e.e, 12, 1) = 255;
    alphaAt(e.e, 14, 8) = 128;
    EXPECT_EQ(e->GetAlphaBoundaryRect(nullptr, 1, false), Rect(103, 51, 115, 59));
    EXPECT_EQ(e->GetAlphaBoundaryRect(nullptr, 200, false), Rect(112, 51, 113, 52));
    // Inverted: everything but the fully opaque pixel reaches 255 - a >= 250.
    EXPECT_EQ(e->GetAlphaBoundaryRect(nullptr, 250, true), Rect(100, 50, 115, 59));

    EXPECT_EQ(e->GetBitmaskRect(nullptr), Rect(100, 50, 115, 59));
    u8* mask = e->CreateBitmask();
    std::memset(mask, 0, std::size_t(e->GetBitmaskBPL()) * 9);
    mask[2 * e->GetBitmaskBPL() + 6] = 1;
    mask[7 * e->GetBitmaskBPL() + 1] = 1;
    EXPECT_EQ(e->GetBitmaskRect(nullptr), Rect(101, 52, 107, 58));
    EXPECT_EQ(e->GetBitmaskRect(&clip), Rect(101, 57, 102, 58));
}

TEST_F(Element, AutoCropWithoutAlphaOrFullyOpaqueIsTheWholeImage)
{
    Elem plain(24, 31, 7);
    plain->SetPosition({3, 4});
    EXPECT_EQ(plain->GetCropRect(10), Rect(3, 4, 34, 11));

    for (auto [w, h] : {std::pair{37, 11}, std::pair{11, 37}, std::pair{20, 20}}) {
        Elem e(24, w, h);
        e->AddAlphaChannel(true);
        for (int percent : {0, 5, 50, 100})
            EXPECT_EQ(e->GetCropRect(percent), Rect(0, 0, w, h)) << w << "x" << h << " " << percent;
    }
}

TEST_F(Element, AutoCropGivesUpOnNarrowResults)
{
    Elem e(24, 101, 20);
    e->SetPosition({7, 9});
    e->AddAlphaChannel(false);
    // Faint coverage across the top row makes the result wide (rows are scanned); the
    // opaque part is a column band whose rows span 8 < 101 / 10.
    for (int x = 0; x < 101; ++x)
        alphaAt(e.e, x, 0) = 1;
    for (int y = 0; y < 20; ++y)
        for (int x = 40; x <= 48; ++x)
            alphaAt(e.e, x, y) = 255;
    EXPECT_EQ(e->GetCropRect(0), Rect(7, 9, 108, 29));

    // One row of 105: the widest span (right - left) must reach 105 / 10 = 10.
    for (const int widest : {9, 10, 21}) {
        SCOPED_TRACE(widest);
        const Rect whole(0, 0, 105, 1);
        const Rect crop = widest < 10 ? whole : Rect(3, 0, 3 + widest + 1, 1);
        Elem rows(spanScene({{3, 3 + widest}}, 105));
        EXPECT_EQ(rows->GetCropRect(0), crop);
        Elem cols(spanScene({{3, 3 + widest}}, 105, true));
        EXPECT_EQ(cols->GetCropRect(0), transpose(crop));
    }
}

TEST_F(Element, AutoCropGrowsFromTheWidestRowWithinTheTolerance)
{
    struct Case {
        const char* name;
        std::vector<std::pair<int, int>> spans;
        int percent;
        Rect expected;
    };
    const Case cases[] = {
        // Widest row 2; upward rows 1..2 and downward rows 2..3 both reach area 34: down wins.
        {"tie", {{4, 15}, {1, 18}, {0, 19}, {2, 19}, {4, 15}}, 0, Rect(2, 2, 20, 4)},
        // Upward growth wins (34 against 33); the tolerance decides how far it reaches down.
        {"up", {{4, 15}, {1, 18}, {0, 19}, {3, 19}, {4, 15}}, 0, Rect(1, 1, 19, 3)},
        // 20 % of 19 is 3: rows 3 and 4 fit against the fixed edges 1 and 18 and narrow it.
        {"tolerance", {{4, 15}, {1, 18}, {0, 19}, {3, 19}, {4, 15}}, 20, Rect(4, 1, 16, 5)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Elem rows(spanScene(c.spans, 20));
        EXPECT_EQ(rows->GetCropRect(c.percent), c.expected);
        Elem cols(spanScene(c.spans, 20, true));
        EXPECT_EQ(cols->GetCropRect(c.percent), transpose(c.expected));
    }
}

TEST_F(Element, AutoCropTrimsIsolatedNotchesAndDropsRowsAcrossGaps)
{
    // Row 1 covered but for notches at columns 4 and 25; row 2 covered on 10..20.
    auto scene = [](bool secondRow, bool gapAbove) {
        CPanoElement* e = spanScene({{1, 0}, {2, 27}, secondRow ? std::pair(10, 20) : std::pair(1, 0)}, 30);
        alphaAt(e, 4, 1) = alphaAt(e, 25, 1) = 0;
        alphaAt(e, 4, 0) = gapAbove ? 10 : 0;  // the notch at column 4 continues upwards
        return e;
    };
    Elem single(scene(false, false));
    EXPECT_EQ(single->GetCropRect(0), Rect(5, 1, 25, 2));
    // Row 1 trimmed to 5..24; rows 1..2 then give 10 x 2 = 20 > 19 downwards.
    Elem trimmed(scene(true, false));
    EXPECT_EQ(trimmed->GetCropRect(0), Rect(10, 1, 21, 3));
    // The notch's column is covered above the row: row 1 is dropped, row 2 remains.
    Elem dropped(scene(true, true));
    EXPECT_EQ(dropped->GetCropRect(0), Rect(10, 2, 21, 3));
}

TEST_F(Element, PictureCollectionsKeepAndReleaseEntries)
{
    Elem first, last;  // the test's own references, to watch the counts
    first->AddRef();   // the collection's
    last->AddRef();
    std::vector<IPanoElement*> v{first.e};
    PanoramaLib::InitPictureCollection(v, 3);
    ASSERT_EQ(v, (std::vector<IPanoElement*>{first.e, nullptr, nullptr}));
    v[2] = last.e;
    PanoramaLib::InitPictureCollection(v, 1);  // a shrink gives back what it cuts off
    EXPECT_EQ(std::pair(v.size(), last->RefCount()), std::pair(std::size_t{1}, 1L));
    PanoramaLib::FreePictureCollection(v);
    EXPECT_TRUE(v.empty() && first->RefCount() == 1);
}

TEST_F(Element, GreyCopyWeighsTheThirdByteMost)
{
    EXPECT_EQ(CreateGrayImage(nullptr), nullptr);
    Elem e(24, 5, 2);
    e->FillByValue(0);
    std::memcpy(pixel(e.e, 4, 1), std::vector<u8>({100, 50, 200}).data(), 3);  // blue, green, red
    e->SetPosition({3, 3});
    Elem grey(CreateGrayImage(e.e));
    ASSERT_NE(grey.e, nullptr);
    EXPECT_EQ(std::tuple(grey->GetBPP(), *pixel(grey.e, 4, 1), grey->GetPosition()),
              std::tuple(8, u8((30 * 200 + 59 * 50 + 11 * 100) / 100), Point(0, 0)));
    Elem again(CreateGrayImage(grey.e));
    ASSERT_NE(again.e, nullptr);
    EXPECT_EQ(*pixel(again.e, 4, 1), *pixel(grey.e, 4, 1));
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
TEST_F(Element, AFailedDeepCopyKeepsTheOldStore)
{
    // A thread-safe source is copied deeply; with the address space capped the copy
    // cannot be allocated, and the target must keep what it had. The copy (360 MB, never
    // touched) is larger than any free space that earlier tests may have left in the
    // allocator's arenas, so it needs new address space.
    Elem src(new CPanoElement(true));
    ASSERT_TRUE(src->CreateImage(24, 12000, 10000));
    Elem dst(8, 3, 3);
    PanoramaLib::IDib* const oldStore = dst->GetDib();

    bool copied = true;
    PanoramaLib::IDib* direct = nullptr;
    {
        vltest::AddressSpaceCap cap(4 << 20);
        ASSERT_TRUE(cap.capped());
        copied = dst->FromImage(src.e);
        direct = dibs.host().CreateCopy(src->GetDib(), false);
    }

    EXPECT_TRUE(!copied && !direct);
    EXPECT_EQ(std::tuple(dst->GetDib(), dst->GetWidth(), dst->GetBPP()), std::tuple(oldStore, 3, 8));
}
#endif
