// The Horizontal/Vertical engine's tests' one way into its private state: the results
// a test checks beyond the public interface (canvas transforms, warped photos, seams,
// graphs, feature stores), the settings a stage test sets without a build, and the
// stages such tests drive one at a time. A view on one engine; it owns nothing.
// Build thread only. Map is the affine point mapping those checks share.
#pragma once

#include <utility>
#include <vector>

#include "engine/hv/panorama.h"
#include "engine/hv/spline.h"

// Point (x, y) through the affine part of m.
inline std::pair<double, double> Map(const double (*m)[3], double x, double y)
{
    return {m[0][0] * x + m[0][1] * y + m[0][2], m[1][0] * x + m[1][1] * y + m[1][2]};
}

struct CPanoramaTestAccess {
    explicit CPanoramaTestAccess(CPanorama& engine)
        : e(engine), scales(engine.m_scales), photos(engine.m_photos),
          workImages(engine.m_workImages), databases(engine.m_databases), matchGraph(engine.m_matchGraph),
          mosaicGraph(engine.m_mosaicGraph), transforms(engine.m_transforms), warped(engine.m_transformed),
          seams(engine.m_stitchingLines),
          fullTransforms(engine.m_fullTransforms), fullWarped(engine.m_fullTransformed), canvas(engine.m_rcCanvas),
          centralImage(engine.m_nCentralImage), duplicate(engine.m_nDuplicate), ringEnd(engine.m_nRingEnd),
          ringCropFailed(engine.m_bCycloramaCropFailed), manualBuild(engine.m_bManualBuild),
          askAllPairs(engine.m_bAskAllPairs), blendZone(engine.m_rcBlur)
    {
    }
    explicit CPanoramaTestAccess(PanoramaLib::IHVPanorama* engine) : CPanoramaTestAccess(*static_cast<CPanorama*>(engine))
    {
    }

    // The engine the abort poll works on, and the poll itself.
    static CPanorama* Current() { return CPanorama::m_pThis.load(); }
    static bool AbortPoll() { return CPanorama::AbortProgressCallback(); }

    CPanorama& e;
    std::vector<double>& scales;                 // per photo: full-size pixels per working-copy pixel
    std::vector<CPanoElement*>& photos;          // the full-size pass's photos
    std::vector<CPanoElement*>& workImages;      // working copies, working-copy pixels
    std::vector<CImageDataBase*>& databases;     // per photo: features in working-copy pixels
    match_graph::CGraph& matchGraph;             // pair links, working-copy pixels (query -> database)
    match_graph::CGraph& mosaicGraph;            // star around the root: root frame -> photo, the pass's pixels
    std::vector<AFFINE_MATRIX>& transforms;      // working-size canvas pixels -> working-copy pixels
    std::vector<CPanoElement*>& warped;          // warped working copies, working-size canvas pixels
    std::vector<CStitchingLine>& seams;          // per photo: its seams, pixels of its warped working copy
    std::vector<AFFINE_MATRIX>& fullTransforms;  // full-size canvas pixels -> full-size photo pixels
    std::vector<CPanoElement*>& fullWarped;      // warped full-size photos, full-size canvas pixels
    VarnoBase::Rect& canvas;                     // the last pass's canvas, root-frame pixels
    int& centralImage;                           // engine index of the root photo
    int& duplicate;                              // engine index of a ring's copy of its end photo; -1
    int& ringEnd;                                // engine index of a ring's end photo; -1
    bool& ringCropFailed;                        // the ring's ends gave no direction to cut along
    bool& manualBuild;                           // links without inliers may still give a root
    bool& askAllPairs;                           // a manual build asks the user about every pair
    VarnoBase::Rect& blendZone;                  // the spline's blend zone, the pass's canvas pixels

    // The stages, as the pipeline calls them.
    CPanorama::Pass PreviewPass() { return e.PreviewPass(); }
    void AddImage(CPanoElement* photo, CPanoElement* working, CImageDataBase* store)
    {
        e.AddImage(photo, working, store);
    }
    bool BuildMatchGraph() { return e.BuildMatchGraph(&matchGraph); }
    bool BuildMatchGraphManually() { return e.BuildMatchGraphManually(&matchGraph); }
    int GetWorldImage() { return e.GetWorldImage(&matchGraph); }
    bool BuildMosaicGraph(int root) { return e.BuildMosaicGraph(&mosaicGraph, &matchGraph, root); }
    VarnoBase::Rect CalcCanvasSize() { return e.CalcCanvasSize(e.PreviewPass(), &mosaicGraph); }
    int GetCentralImage(const VarnoBase::Rect& r) { return e.GetCentralImage(e.PreviewPass(), r); }
    bool TestCyclorama() { return e.TestCyclorama(e.PreviewPass()); }
    bool CalcPanoRotationTransform(int dup, int end, double (*r)[3])
    {
        return e.CalcPanoRotationTransform(e.PreviewPass(), dup, end, r);
    }
    bool CalcOriginalAffineTransform() { return e.CalcOriginalAffineTransform(); }
    std::vector<int> Unmatched()
    {
        std::vector<int> out;
        e.GetNumOfUnmatchedImages(mosaicGraph, photos, out);
        return out;
    }
    bool TransformImage(int i) { return e.TransformImage(e.PreviewPass(), i); }
    // The full-size pass's stages, which benchmarks time one at a time.
    CPanorama::Pass FullSizePass() { return e.FullSizePass(); }
    bool TransformImage(const CPanorama::Pass& pass, int i) { return e.TransformImage(pass, i); }
    void GradientAverage(const CPanorama::Pass& pass, int i) { e.GradientAverage(pass, i); }
    bool InitBlurStitchingLine(const CPanorama::Pass& pass, int i, MultiresolutionSpline::CSplineRGB& spline)
    {
        return e.InitBlurStitchingLine(pass, i, spline);
    }
    bool BuildStichingLine(int i) { return e.BuildStichingLine(e.PreviewPass(), i); }
};
