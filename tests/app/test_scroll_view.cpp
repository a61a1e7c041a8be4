// Zoom table, scale changes that keep the centre, scale limits and the content origin.
#include <gtest/gtest.h>

#include <QScrollBar>

#include <cmath>
#include <limits>

#include "app/scroll_view.h"

TEST(ZoomTable, NearestStepsTiesClampingNextStepsAndSlider)
{
    for (const auto& [zoom, index] :
         {std::pair(0.5, 0), {1, 0}, {150, 13}, {5000, 18}, {1000, 18}, {7, 5}, {10.5, 6}, {12, 7}, {-3, 0}})
        EXPECT_EQ(_get_nearest_zoom_scale_index(zoom), index) << zoom;
    EXPECT_EQ(_GetZoomTableSize(), 19);
    const std::tuple<double, bool, double> cases[] = {{150, true, 200}, {150, false, 100}, {1000, true, 1000}, {1, false, 1},
                                                      {5000, true, 1000}, {0.2, false, 1}, {100, true, 200}, {100, false, 67}};
    for (const auto& [zoom, up, next] : cases)
        EXPECT_EQ(GetNextZoomFactor(zoom, up), next) << zoom << ' ' << up;
    EXPECT_FALSE(CanNextZoomFactor(1000, true));
    EXPECT_TRUE(CanNextZoomFactor(1000, false));
    EXPECT_FALSE(CanNextZoomFactor(1.2, false));
    EXPECT_EQ(GetZoom100(0), 1);
    EXPECT_EQ(GetZoom100(50), 600);
    EXPECT_EQ(GetZoom100(100), 1000);
}

namespace {

// A view whose viewport is exactly the widget (no frame, no bars).
struct BareView : ScaledScrollView {
    explicit BareView(QSize viewport)
    {
        setFrameShape(QFrame::NoFrame);
        setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        resize(viewport);
        show();  // a hidden widget lays out its viewport only when shown
    }
};

}  // namespace

TEST(ScaledScrollView, CanScaleLimitsAndDoublingKeepsTheCentre)
{
    BareView view(QSize(400, 300));
    double f = -20.0;
    EXPECT_FALSE(view.canScale(f)) << "no picture: (-1, -1) x -20 must not pass";
    view.setActualSize(QSize(100, 1000));
    for (auto [factor, ok] : {std::pair(0.1, true), {0.09, false}, {16.383, true}, {16.384, false}, {-1.0, false},
                              {std::numeric_limits<double>::quiet_NaN(), false}, {std::numeric_limits<double>::infinity(), false}})
        EXPECT_EQ(view.canScale(factor), ok) << factor;

    view.setActualSize(QSize(2000, 2000));
    ASSERT_EQ(view.pageStep(), QPoint(400, 300));
    view.setScrollPos(QPoint(100, 100));
    int changes = 0;
    QObject::connect(&view, &ScaledScrollView::scaleChanged, [&] { ++changes; });
    view.setScaleFactor(2.0);
    EXPECT_EQ(view.scrollPos(), QPoint(400, 350));
    EXPECT_EQ(view.scrollSize(), QSize(4000, 4000));
    EXPECT_EQ(changes, 1);

    // Zero, the same factor and factors that are not finite positive numbers do nothing.
    for (double f : {0.0, 2.0, -2.0, std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()})
        view.setScaleFactor(f);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(view.scaleFactor(), 2.0);
}

TEST(ScrollView, OriginWithGapsAndAlignment)
{
    ScrollView view;
    view.setFrameShape(QFrame::NoFrame);
    view.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    view.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    view.resize(300, 200);
    view.show();
    view.setAllGaps(20);
    view.setScrollSize(QSize(1000, 1000));
    view.horizontalScrollBar()->setValue(0);
    view.verticalScrollBar()->setValue(0);
    EXPECT_EQ(view.scrollPos(), QPoint(-20, -20));
    EXPECT_EQ(view.origin(), QPoint(20, 20));
    EXPECT_TRUE(view.canScroll()) << "at the top-left corner there is still content to pan to";
    view.setScrollPos(QPoint(100, 50));
    EXPECT_EQ(view.origin(), QPoint(-100, -50));
    EXPECT_TRUE(view.canScroll());

    // A content narrower than the viewport sits where the alignment puts it, gaps or not.
    const int vw = view.viewport()->width();
    view.setScrollSize(QSize(100, 1000));
    view.setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    EXPECT_EQ(view.origin().x(), vw - 100);
    view.setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    EXPECT_EQ(view.origin().x(), (vw - 100) / 2);
}
