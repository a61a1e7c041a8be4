// The "Tune Matching" dialog with the real matcher: a preview that agrees with the
// truth, unusable transforms, the motion model and marker 2, the shared photo scale,
// Reset, OK during a stitch, Abort; and the window opening it from a manual build.
#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QToolButton>

#include <cmath>

#include "app/horz_matching_dlg.h"
#include "core/dib.h"
#include "tests/app/matching_support.h"
#include "tests/app/window_fixture.h"

namespace {

const vltest::Scene& sharedScene()
{
    static const vltest::Scene scene(vltest::smallSceneOptions(9));
    return scene;
}

// Two photos of a strip (first -> second by `truth`) with the markers seeded on true
// correspondences, the affine model, and the dialog set up as the window does it.
struct Matching {
    std::vector<vltest::PlaneShot> shots;
    vltest::Mat3 truth;
    vltest::Element first, second;
    CManualMatcher matcher;
    VarnoBase::Point seeded[3] = {{150, 40}, {170, 140}, {200, 90}};
    HorzMatchingDlg dlg;

    explicit Matching(bool ring = false, PreviewThread::Stitcher stitcher = {}, QSize secondSize = QSize(),
                      QSize firstSize = QSize())
        : matcher(ring), dlg(nullptr, std::move(stitcher))
    {
        shots = vltest::makeStrip(sharedScene(), {.count = 2, .width = 240, .height = 180, .overlap = 0.5});
        truth = vltest::relativeTransform(shots[0], shots[1]);
        first = vltest::elementOf(firstSize.isValid() ? shots[0].image.scaled(firstSize) : shots[0].image);
        second = vltest::elementOf(secondSize.isValid() ? shots[1].image.scaled(secondSize) : shots[1].image);
        matcher.Init(first->GetImageSize(), second->GetImageSize(), seeded, truth.m, PanoramaLib::MotionAffine);
        dlg.setImages(first, second);
        dlg.setMatcher(&matcher);
        dlg.initDialog();
        dlg.show();
    }
    // The form's widgets, by object name.
    template <class W>
    W* child(const char* name)
    {
        W* w = dlg.findChild<W*>(QLatin1String(name));
        EXPECT_TRUE(w) << name;
        return w;
    }
    QRadioButton* radio(const char* name) { return child<QRadioButton>(name); }
    QPushButton* button(QDialogButtonBox::StandardButton b) { return child<QDialogButtonBox>("buttonBox")->button(b); }
    QPushButton* ok() { return button(QDialogButtonBox::Ok); }
    bool waitForPreview() { return vltest::spinUntil([&] { return dlg.previewPane()->hasPicture(); }); }
    VarnoBase::Point point(int group, int i)
    {
        VarnoBase::Point p[3];
        matcher.GetPoints(PanoramaLib::IManualMatcher::PTS_group(group), p);
        return p[i];
    }
};

}  // namespace

// With markers on true correspondences the second photo lands in the preview where the
// truth puts it: searched over shifts of up to 4 pixels, the best is within 1.
TEST(HorzMatchingDlg, PreviewAgreesWithTheTruth)
{
    Matching t;
    ASSERT_TRUE(t.waitForPreview());
    EXPECT_TRUE(t.ok()->isEnabled());
    EXPECT_FALSE(t.dlg.previewPane()->textVisible());
    PanoramaLib::IDib* store = t.dlg.previewPane()->picture()->GetDib();
    const QImage preview =
        static_cast<PanoramaLib::QtDibImpl*>(store->QueryObject(PanoramaLib::kQueryDibImpl))->convertedImage(QImage::Format_RGB32);
    ASSERT_FALSE(preview.isNull());
    // The canvas is the union of both photos in the first photo's frame.
    double minX = 0, minY = 0, maxX = 240, maxY = 180;
    for (QPointF c : {QPointF(0, 0), QPointF(240, 0), QPointF(240, 180), QPointF(0, 180)}) {
        double x, y;
        t.truth.inverse().map(c.x(), c.y(), x, y);
        minX = std::min(minX, x), minY = std::min(minY, y), maxX = std::max(maxX, x), maxY = std::max(maxY, y);
    }
    EXPECT_LE(std::max(std::abs(preview.width() - (maxX - std::floor(minX))), std::abs(preview.height() - (maxY - std::floor(minY)))), 3.0);
    // Canvas pixels right of the first photo, where only the second one shows, against the
    // second photo through the truth shifted by (dx, dy).
    const QImage& second = t.shots[1].image;
    auto meanDiff = [&](int dx, int dy) {
        double sum = 0;
        int n = 0;
        for (int y = 20; y < preview.height() - 20; y += 3)
            for (int x = 240 - int(std::floor(minX)) + 6; x < preview.width() - 6; x += 3) {
                double sx, sy;
                t.truth.map(x + std::floor(minX) + dx, y + std::floor(minY) + dy, sx, sy);
                const QPoint s(int(std::lround(sx)), int(std::lround(sy)));
                if (second.rect().adjusted(2, 2, -2, -2).contains(s))
                    sum += std::abs(qGreen(preview.pixel(x, y)) - qGreen(second.pixel(s))), ++n;
            }
        EXPECT_GT(n, 200);
        return sum / std::max(n, 1);
    };
    std::tuple<double, int, int> best{1e9, 0, 0};
    for (int dy = -4; dy <= 4; ++dy)
        for (int dx = -4; dx <= 4; ++dx)
            best = std::min(best, std::tuple(meanDiff(dx, dy), dx, dy));
    EXPECT_LE(std::max(std::abs(std::get<1>(best)), std::abs(std::get<2>(best))), 1);
    EXPECT_LT(std::get<0>(best), 12.0);
}

TEST(HorzMatchingDlg, BadDropShowsUnableToMatchAndDisablesOk)
{
    Matching t;
    ASSERT_TRUE(t.waitForPreview());
    const double scale = t.dlg.previewPane()->scaleFactor();
    t.dlg.OnImageScaled(1.0);  // a drop lands on the exact photo pixel
    PanoramaView& pane = *t.dlg.leftPane();
    const QPoint start(t.seeded[2].x, t.seeded[2].y);

    // Marker 2 onto marker 0: two coincident points, no affine fit.
    vltest::dropMarkerAt(pane, *t.dlg.leftControl(), Marker2, QPoint(t.seeded[0].x, t.seeded[0].y));
    ASSERT_EQ(t.point(0, 2).x, t.seeded[0].x);
    ASSERT_TRUE(t.matcher.BadTransform());
    const PanoramaView& preview = *t.dlg.previewPane();  // the empty pane is not zoomed
    EXPECT_EQ(std::tuple(preview.hasPicture(), preview.textVisible(), preview.text().toStdString(), t.ok()->isEnabled(), preview.scaleFactor()),
              std::tuple(false, true, std::string("Unable to match"), false, scale));

    // A model change that cures the transform enables OK at once.
    t.radio("rdbMatchTranslate")->click();
    EXPECT_EQ(std::pair(t.matcher.BadTransform(), t.ok()->isEnabled()), std::pair(false, true));
    ASSERT_TRUE(t.waitForPreview());
    t.radio("rdbMatchAffine")->click();
    EXPECT_FALSE(t.ok()->isEnabled());

    vltest::dropMarkerAt(pane, *t.dlg.leftControl(), Marker2, start);
    EXPECT_TRUE(t.ok()->isEnabled());
    ASSERT_TRUE(t.waitForPreview());
    EXPECT_FALSE(t.dlg.previewPane()->textVisible());
    EXPECT_GT(t.dlg.previewPane()->scaleFactor(), 0.0);
}

TEST(HorzMatchingDlg, ScaleOnlyHidesMarkerTwoOnBothPanesAndARingDisablesTheModels)
{
    Matching t;
    const auto shown = [&](PreviewControl* c) { return c->markers().GetByName(Marker2)->isVisible(); };
    EXPECT_TRUE(t.radio("rdbMatchAffine")->isChecked());
    EXPECT_TRUE(shown(t.dlg.leftControl()) && shown(t.dlg.rightControl()));
    const QPoint where = t.dlg.rightControl()->markers().GetByName(Marker2)->position();

    t.radio("rdbMatchTranslate")->click();
    EXPECT_EQ(t.matcher.GetMotionModel(), PanoramaLib::MotionTranslate);
    EXPECT_FALSE(shown(t.dlg.leftControl()) || shown(t.dlg.rightControl()));
    t.radio("rdbMatchSimple")->click();
    EXPECT_TRUE(t.radio("rdbMatchSimple")->isChecked() && !t.radio("rdbMatchTranslate")->isChecked());
    EXPECT_FALSE(shown(t.dlg.leftControl()));
    t.radio("rdbMatchAffine")->click();
    EXPECT_TRUE(shown(t.dlg.leftControl()) && shown(t.dlg.rightControl()));
    EXPECT_EQ(t.dlg.rightControl()->markers().GetByName(Marker2)->position(), where);

    Matching ring(true);  // a ring disables the models
    for (const char* name : {"rdbMatchTranslate", "rdbMatchSimple", "rdbMatchAffine"})
        EXPECT_FALSE(ring.radio(name)->isEnabled()) << name;
    EXPECT_TRUE(ring.radio("rdbMatchAffine")->isChecked());
}

// Markers a few pixels apart: the first view fits them, magnified as far as that takes,
// both panes at the smaller of their two fits. The photo panes share one scale; a much
// smaller second photo refuses a scale the first would take: neither the button nor the
// wheel gets the two panes apart.
TEST(HorzMatchingDlg, FirstViewFitsTheMarkersAndPhotoPanesShareOneScaleBothPanesAllow)
{
    Matching t;
    VarnoBase::Point close[3] = {{100, 80}, {103, 82}, {101, 85}};
    t.matcher.Init(t.first->GetImageSize(), t.second->GetImageSize(), close, t.truth.m, PanoramaLib::MotionAffine);
    t.dlg.setMatcher(&t.matcher);
    t.dlg.initDialog();
    EXPECT_GT(t.dlg.leftPane()->scaleFactor(), 1.0);
    EXPECT_EQ(t.dlg.leftPane()->scaleFactor(), t.dlg.rightPane()->scaleFactor());
    EXPECT_TRUE(t.dlg.leftPane()->viewport()->rect().contains(t.dlg.leftPane()->contentToDisplay(QPoint(101, 82))));
    vltest::wheel(*t.dlg.rightPane(), 120);
    EXPECT_EQ(t.dlg.leftPane()->scaleFactor(), t.dlg.rightPane()->scaleFactor());
    t.dlg.OnImageScaled(1.0);
    t.child<QToolButton>("btnZoomOut")->click();
    t.child<QToolButton>("btnZoomOut")->click();
    EXPECT_EQ(t.dlg.rightPane()->scaleFactor(), 0.5);
    EXPECT_EQ(t.child<QLabel>("lblScale")->text(), "Scale:  50 %");

    Matching small(false, {}, QSize(40, 30));
    small.dlg.OnImageScaled(0.33);
    ASSERT_EQ(small.dlg.rightPane()->scaleFactor(), 0.33);
    EXPECT_FALSE(small.child<QToolButton>("btnZoomOut")->isEnabled());  // 25 %: 10 x 8 pixels
    EXPECT_TRUE(small.child<QToolButton>("btnZoomIn")->isEnabled());
    vltest::wheel(*small.dlg.leftPane(), -120);
    EXPECT_EQ(small.dlg.leftPane()->scaleFactor(), 0.33);
    EXPECT_EQ(small.dlg.rightPane()->scaleFactor(), 0.33);
}

// A zoom button is offered only while the table has a further step and the pane takes
// it: at a pane's smallest size it goes grey though the table goes further down. The
// preview pane on its own; the photo panes by the first photo, here the smaller one.
TEST(HorzMatchingDlg, ZoomButtonsStopAtThePanesSmallestSize)
{
    Matching t;
    ASSERT_TRUE(t.waitForPreview());
    PanoramaView* preview = t.dlg.previewPane();
    auto* out = t.child<QToolButton>("btnPreviewZoomOut");
    for (int k = 0; k < 30 && out->isEnabled(); ++k)
        out->click();
    const double scale = preview->scaleFactor();
    double next = GetNextZoomFactor(scale * 100, false) / 100;
    EXPECT_EQ(std::tuple(out->isEnabled(), CanNextZoomFactor(scale * 100, false), preview->canScale(next)),
              std::tuple(false, true, false))
        << "at " << scale;
    EXPECT_TRUE(t.child<QToolButton>("btnPreviewZoomIn")->isEnabled());

    Matching small(false, {}, QSize(), QSize(40, 30));
    small.dlg.OnImageScaled(0.33);
    ASSERT_EQ(std::pair(small.dlg.leftPane()->scaleFactor(), small.dlg.rightPane()->scaleFactor()), std::pair(0.33, 0.33));
    EXPECT_TRUE(CanNextZoomFactor(33, false));
    EXPECT_FALSE(small.child<QToolButton>("btnZoomOut")->isEnabled());  // 25 %: 10 x 8 pixels of the first
    EXPECT_TRUE(small.child<QToolButton>("btnZoomIn")->isEnabled());
}

// A second photo of another size or shape puts the same three points further apart or
// closer together on it, so the two panes fit their markers at different scales: both
// panes show the smaller of the two fits, whichever pane it is.
TEST(HorzMatchingDlg, FirstViewOfPhotosOfDifferentSizesShowsBothAtTheSmallerFit)
{
    for (const QSizeF zoom : {QSizeF(1.8, 1.8), QSizeF(0.55, 0.55), QSizeF(1.0, 1.7)}) {
        Matching t(false, {}, QSize(int(240 * zoom.width()), int(180 * zoom.height())));
        const vltest::Mat3 toSecond = vltest::Mat3::scaling(zoom.width(), zoom.height()) * t.truth;
        t.matcher.Init(t.first->GetImageSize(), t.second->GetImageSize(), t.seeded, toSecond.m, PanoramaLib::MotionAffine);
        t.dlg.setMatcher(&t.matcher);
        t.dlg.initDialog();
        const std::pair shown(t.dlg.leftPane()->scaleFactor(), t.dlg.rightPane()->scaleFactor());
        const auto ownFit = [](PreviewControl* control, PanoramaView* pane) {
            QRect points, markers;
            control->GetMarkersRect(points, markers);
            pane->ensureRectVisible(points, markers);
            return pane->scaleFactor();
        };
        const double left = ownFit(t.dlg.leftControl(), t.dlg.leftPane()), right = ownFit(t.dlg.rightControl(), t.dlg.rightPane());
        ASSERT_GT(std::max(left, right), 1.3 * std::min(left, right)) << "the fits should differ: " << left << ", " << right;
        EXPECT_EQ(shown, std::pair(std::min(left, right), std::min(left, right)))
            << zoom.width() << " x " << zoom.height() << ": own fits " << left << ", " << right;
    }
}

TEST(HorzMatchingDlg, ResetRestoresMarkersModelAndOkAbortKeepsThePoints)
{
    Matching t;
    ASSERT_TRUE(t.waitForPreview());
    t.dlg.OnImageScaled(1.0);  // a drop lands on the exact photo pixel
    vltest::dropMarkerAt(*t.dlg.rightPane(), *t.dlg.rightControl(), Marker1, QPoint(20, 20));
    vltest::dropMarkerAt(*t.dlg.leftPane(), *t.dlg.leftControl(), Marker2, QPoint(t.seeded[0].x, t.seeded[0].y));
    t.radio("rdbMatchTranslate")->click();
    t.radio("rdbMatchAffine")->click();
    ASSERT_FALSE(t.ok()->isEnabled());

    t.button(QDialogButtonBox::Reset)->click();
    EXPECT_TRUE(t.ok()->isEnabled());
    EXPECT_TRUE(t.radio("rdbMatchAffine")->isChecked());
    for (int i = 0; i < 3; ++i) {
        const VarnoBase::Point l = t.point(0, i), r = t.point(1, i);
        EXPECT_EQ(l.x, t.seeded[i].x);
        EXPECT_EQ(t.dlg.leftControl()->markers().GetByName(MarkerName(i))->position(), QPoint(l.x, l.y));
        EXPECT_EQ(t.dlg.rightControl()->markers().GetByName(MarkerName(i))->position(), QPoint(r.x, r.y));
    }
    EXPECT_TRUE(t.dlg.leftControl()->markers().GetByName(Marker2)->isVisible());
    EXPECT_TRUE(t.waitForPreview());
    // Abort rejects and keeps the points.
    vltest::dropMarkerAt(*t.dlg.rightPane(), *t.dlg.rightControl(), Marker0, QPoint(30, 40));
    t.button(QDialogButtonBox::Abort)->click();
    EXPECT_EQ(t.dlg.result(), QDialog::Rejected);
    EXPECT_EQ(std::make_pair(t.point(1, 0).x, t.point(1, 0).y), std::make_pair(30, 40));
}

TEST(HorzMatchingDlg, OkDuringStitchClosesAfterTheThreadStopped)
{
    vltest::LatchStitcher stitch;  // never released
    Matching t(false, std::ref(stitch));
    ASSERT_TRUE(vltest::spinUntil([&] { return stitch.startedCount() >= 1; }));
    t.ok()->click();
    EXPECT_EQ(t.dlg.result(), QDialog::Accepted);
    EXPECT_TRUE(t.dlg.previewThread().isFinished());
    EXPECT_EQ(stitch.returned.load(), stitch.startedCount());
}

// An H/V build of two unrelated photos with manual matching of unmatched pairs asks the
// user through the dialog; accepting the default markers builds the pair. Qt's show timer
// firing meanwhile does not bring the build's progress dialog over it. The label gives the
// pane's own scale (of the photo the engine hands over), and the zoom steps go through the
// table.
TEST_F(WindowTest, ManualBuildOfUnrelatedPhotosOpensTuneMatching)
{
    const auto photo = [](QPoint at) { return vltest::planeCrop(sharedScene(), QRect(at, QSize(320, 240))).scaled(960, 720); };
    const vltest::PhotoSet photos = vltest::makePhotoSet({photo({0, 0}), photo({600, 600})});
    load(photos.paths);
    w->document().setManualMatchingMode(true);
    bool previewed = false, progressShown = true;
    std::vector<QString> labels;
    desk.dialogs.push_back([&](QDialog& d) {
        auto& dlg = dynamic_cast<HorzMatchingDlg&>(d);
        QMetaObject::invokeMethod(w->progressDialog(), "forceShow");
        progressShown = w->progressDialog()->isVisible();
        previewed = vltest::spinUntil([&] { return dlg.previewPane()->hasPicture(); });
        const auto percent = [&] { return dlg.leftPane()->scaleFactor() * 100.0; };
        const auto look = [&](double expected) {
            labels.push_back(dlg.findChild<QLabel*>("lblScale")->text());
            labels.push_back(HorzMatchingDlg::tr("Scale: %1 %").arg(expected, 3, 'f', 0));
        };
        look(percent());
        const double down = GetNextZoomFactor(percent(), false);
        dlg.findChild<QToolButton*>("btnZoomOut")->click();
        look(down);
        EXPECT_NEAR(percent(), down, 1e-9);
        dlg.findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"))->button(QDialogButtonBox::Ok)->click();
        return dlg.result();
    });
    ui().btnStitch->click();
    ASSERT_EQ(desk.calls("execDialog").size(), 1u);
    EXPECT_EQ(desk.calls("execDialog")[0].title, QStringLiteral("Tune Matching"));
    EXPECT_TRUE(previewed && !progressShown);
    EXPECT_EQ(labels.at(0), labels.at(1));
    EXPECT_EQ(labels.at(2), labels.at(3));
    EXPECT_EQ(w->document().builtEngine()->GetPanoramaStatus()->nStatus, PanoramaLib::kStatusBuilt);
}
