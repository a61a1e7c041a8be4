// Rendering surfaces of the tiled engine: a cylinder and a sphere around the common
// camera centre, unrolled into a flat picture.
//
// Coordinates: surface pixels are integers, x to the right (longitude theta, degrees)
// and y downwards (the cylinder's height ratio Y / sqrt(X^2 + Z^2), or the sphere's
// latitude in degrees). Rays are (X, Y, Z) = (sin theta, t, cos theta), t the row value
// of the surface, Rs = Rotation() the surface's turn from the world (LevelOrientation).
// Photos are seen through their cameras (D3Param): M1 = Rs Ri^T K^-1
// takes a centred photo pixel to a surface ray, M2 = K Ri Rs^T takes a ray back.
// The render (surface_render.cpp) projects every photo onto its own rectangle of the
// surface, matches its exposure to the result and blends it in.
//
// Photos are held by counted references (RefPtr), so a surface prepared on one thread
// and rendered on another keeps them alive. A surface rendered off the UI thread must
// call SetMayUnloadPhotos(false): it then never loads or unloads a shared photo's
// pixels and reads full-size pixels from a private copy loaded from the photo's file.
#pragma once

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/geometry.h"
#include "core/pano_element.h"
#include "core/refcount.h"
#include "engine/panorama_interfaces.h"
#include "engine/tiled/camera_params.h"

// Told by a render each time a part of the result is finished (one photo blended);
// the rectangle is in result-image coordinates.
class ISRNotify {
public:
    virtual void OnUpdateView(const VarnoBase::Rect& r) = 0;

protected:
    ~ISRNotify() = default;
};

class CSurfaceRendering {
public:
    enum InterpolationMode { NoInterpolationMode = 0, BilinearMode = 1 };

    virtual ~CSurfaceRendering() = default;
    virtual void AddImages(const std::vector<int>& order, const D3Param& world, const std::vector<D3Param>& params,
                           const std::vector<CPanoElement*>& images, const std::vector<CPanoElement*>& previews) = 0;
    virtual void AddImage(CPanoElement* image, const D3Param& params, CPanoElement* preview) = 0;
    virtual void Set3DOrientation(int i) = 0;
    virtual void RotateSurfaceOn(int rx, int ry, int rz) = 0;
    virtual void SetInterpolationMode(InterpolationMode m) = 0;
    virtual void SetCropFactor(const VarnoBase::Rect& r, int width) = 0;
    virtual bool RenderSurface(double percent, PanoramaLib::IProgressIndicator* progress,
                               PanoramaLib::IWaitCursor* waitCursor, int from, int to) = 0;
    virtual bool IsOriginal() const = 0;
    virtual CPanoElement* GetPano() = 0;
    virtual void FreePano() = 0;
    virtual void RemoveAllImages() = 0;

    bool m_bAborted = false;         // set when the progress indicator asked to cancel
    ISRNotify* m_pNotify = nullptr;  // partial-update target; set by the owner
};

// The inverse of the lens model (InvLensDistortionT) tabulated over the ideal radii a
// photo's pixels reach, for the render's pixel loops: the photo point of ideal point
// (x, y) is (x, y) s, s interpolated linearly in q = x^2 + y^2. Made only where
// g(r) = r L(r) increases over the photo and the table stays within kTolerance pixels of
// the exact inverse (checked halfway between its entries, where linear interpolation is
// farthest off); elsewhere each pixel is inverted by Newton's method.
class LensInverseTable {
public:
    static constexpr double kTolerance = 0.004;  // pixels
    // For a photo reaching R0 from its centre, through this lens and polynomial (true:
    // 1 + k1 r^2 + k2 r^4); stays empty when the lens folds within R0 or no table of
    // at most 2^16 steps is close enough.
    void Build(const D3Param& p, bool type24, double R0);
    // The table when one was made for this polynomial and reaches q.
    bool Covers(bool type24, double q) const noexcept { return !m_s.empty() && type24 == m_type24 && q <= m_maxQ; }
    void Apply(double q, double& x, double& y) const noexcept
    {
        const double at = q * m_stepsPerQ;
        const std::size_t i = std::min(static_cast<std::size_t>(at), m_s.size() - 2);
        const double s = m_s[i] + (at - static_cast<double>(i)) * (m_s[i + 1] - m_s[i]);
        x *= s;
        y *= s;
    }

private:
    std::vector<double> m_s;  // r / rho at q = k / m_stepsPerQ
    double m_stepsPerQ = 0.0;
    double m_maxQ = -1.0;
    bool m_type24 = true;
};

// Smallest slope of g(r) = r L(r) over [-R0, R0] is positive: g is then increasing there,
// and an ideal radius above g(R0) has no preimage within R0 of the centre.
bool LensMonotone(const D3Param& p, bool type24, double R0) noexcept;

class CCylindricalSurface : public CSurfaceRendering {
public:
    // One photo on the surface.
    struct Data {
        VarnoBase::RefPtr<CPanoElement> image;    // full size; pixels may be unloaded
        VarnoBase::RefPtr<CPanoElement> preview;  // smaller copy, or null
        D3Param params;
        double halfDiagonal = 0.0;  // sqrt(hw^2 + hh^2), integer half sizes
        LensInverseTable lensInverse;  // over the ideal radii up to halfDiagonal + 2
        double thetaMin = 0.0, thetaMax = 0.0;  // degrees
        double vMin = 0.0, vMax = 0.0;          // vertical units of the surface
        double M1[3][3] = {};                   // centred photo pixel -> ray
        double M2[3][3] = {};                   // ray -> centred photo pixel (homogeneous)
        VarnoBase::Rect rect;                   // surface pixels
        VarnoBase::RefPtr<CPanoElement> transformed;  // exists only during a render
        // Taken from the photo when it is added (on the caller's thread), so that a
        // render on another thread needs nothing else of the shared element.
        int width = 0;
        int height = 0;
        std::wstring path;
        bool usable = false;  // a finite camera with a positive focal length
    };

    // The argument of an interpolation routine: a point in photo pixels and the sampled
    // colour (c0, c1, c2 = bytes 2, 1, 0 of the 24-bit pixel).
    struct InterpolationData {
        double x = 0.0;
        double y = 0.0;
        unsigned char c0 = 0, c1 = 0, c2 = 0;
        CPanoElement* image = nullptr;
        CPanoElement* preview = nullptr;
    };

    CCylindricalSurface();
    ~CCylindricalSurface() override;
    CCylindricalSurface(const CCylindricalSurface&) = delete;
    CCylindricalSurface& operator=(const CCylindricalSurface&) = delete;

    void AddImages(const std::vector<int>& order, const D3Param& world, const std::vector<D3Param>& params,
                   const std::vector<CPanoElement*>& images, const std::vector<CPanoElement*>& previews) override;
    void AddImage(CPanoElement* image, const D3Param& params, CPanoElement* preview) override;
    // Looks along photo i: the surface turns with that camera (and RotateSurfaceOn from there).
    void Set3DOrientation(int i) override;
    // Levels the surface on all photos instead: its axis is the direction most nearly
    // perpendicular to every camera's right vector (the cameras' common up), and
    // longitude 0 lies in the middle of the photos unless they close a ring (then along
    // the first photo). A mosaic whose first photo looks up or down thus still stands
    // upright on the cylinder. RotateSurfaceOn turns from this level frame.
    void LevelOrientation();
    void RotateSurfaceOn(int rx, int ry, int rz) override;
    void SetInterpolationMode(InterpolationMode m) override;
    void SetCropFactor(const VarnoBase::Rect& r, int width) override;
    bool RenderSurface(double percent, PanoramaLib::IProgressIndicator* progress, PanoramaLib::IWaitCursor* waitCursor,
                       int from, int to) override;
    bool IsOriginal() const override { return m_bOriginal; }
    CPanoElement* GetPano() override;
    void FreePano() override;
    void RemoveAllImages() override;

    // Surface-specific geometry (the sphere overrides these).
    virtual double calc_surface_radius(double x, double y, double z) const;
    virtual double calc_vertical_size(double X, double Y, double Z) const;
    virtual void norm_vertical_size(double& a, double& b) const;
    // Sets width and height from the extent and radius; false when the picture would be
    // absurdly large or not finite (a photo seen near the cylinder's axis).
    virtual bool calc_panorama_surf_size();
    virtual void calc_img_vert_projection_to_surf(const Data& d, double& y1, double& y2) const;
    // Extents of every photo and of the surface, then the picture size and the photos'
    // rectangles. False when the geometry cannot be represented.
    bool CalcImgAngularSizes();
    void CalcTraceRay(int x, int y, double* s, double* t, double* c);
    virtual double CalcMinSurfaseRadius(double s) const;
    virtual bool IsCylindrical() const { return true; }

    // ---- per-pixel operations (also the reference for the fast row loops) ----
    void TransformPixel(const Data& d, int x, int y, unsigned char* rgb, unsigned char* alpha,
                        unsigned short* weight);
    bool NoInterpolation(InterpolationData& d);
    bool BilinearInterpolation(InterpolationData& d);

    // ---- geometry preparation, run by every render ----
    void CalcProjectMatrices();
    void SetSurfaceRadius();
    // Radius for a requested scale; false when the geometry cannot be represented.
    bool SetRadiusForScale(double percent);

    // ---- render stages (surface_render.cpp) ----
    bool TransformImageToSurface(Data* d);
    double CalculateDifferenceField(Data* d, unsigned short* diff);
    void AddImageToPano(Data* d);
    void AddImageToPano_Blending50Percent(Data* d);

    // A surface rendered on a worker thread calls this with false: shared photos are
    // then never loaded or unloaded by the render (see the file comment).
    void SetMayUnloadPhotos(bool may) { m_bMayUnloadPhotos = may; }
    // Row bands of a photo are projected on this many threads (0: one per core). The
    // result does not depend on it.
    void SetThreadCount(int n) { m_threadCount = n; }
    int LensPolynomial() const { return m_lensPolynomial; }

    // ---- state, readable by the owner and by tests ----
    const std::vector<Data>& Photos() const { return m_photos; }
    std::vector<Data>& Photos() { return m_photos; }
    const D3Param& World() const { return m_world; }
    // Rs, world -> surface: the angles of World() after the level frame.
    void Rotation(double Rs[3][3]) const;
    double Radius() const { return m_world.f; }
    void SetRadius(double r) { m_world.f = r; }
    int Width() const { return m_width; }
    int Height() const { return m_height; }
    double ThetaMin() const { return m_thetaMin; }
    double ThetaMax() const { return m_thetaMax; }
    double VMin() const { return m_vMin; }
    double VMax() const { return m_vMax; }
    const VarnoBase::Rect& RenderRect() const { return m_renderRect; }
    void SetRenderRect(const VarnoBase::Rect& r) { m_renderRect = r; }
    void FreeRayTables();

    using AddRoutine = void (CCylindricalSurface::*)(Data*);
    using InterpolationRoutine = bool (CCylindricalSurface::*)(InterpolationData&);

protected:
    // Row value t of surface row y (absolute surface pixels).
    virtual double RowValue(int y) const;
    void BuildRayTables();
    bool RenderSurfaceInternal_2steps(PanoramaLib::IProgressIndicator* progress, int from, int to);
    bool StepAndPoll();  // one progress step; true when the render must stop

    AddRoutine m_addImage;
    InterpolationRoutine m_interpolate;
    std::vector<Data> m_photos;
    CPanoElement* m_pPano = nullptr;  // the result; the surface's own reference
    D3Param m_world;                  // f: radius in surface pixels; angles: orientation
    // World -> level frame, applied before the angles: identity unless LevelOrientation.
    double m_level[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    bool m_bOriginal = true;
    double m_thetaMin, m_thetaMax, m_vMin, m_vMax;
    double m_vOffset = 0.0;
    int m_width = 0;
    int m_height = 0;
    VarnoBase::Rect m_renderRect;
    // progress of a render
    int m_progressTo = 0;
    int m_progressFrom = 0;
    std::int64_t m_totalSteps = 0;
    std::int64_t m_stepsDone = 0;
    PanoramaLib::IProgressIndicator* m_pProgress = nullptr;
    // crop request
    bool m_bCrop = false;
    VarnoBase::Rect m_cropRect;
    int m_cropWidth = 1;
    // ray tables over the render rectangle
    std::vector<double> m_sinTable;
    std::vector<double> m_rowTable;
    std::vector<double> m_cosTable;

    bool m_bMayUnloadPhotos = true;
    int m_threadCount = 0;
    // Lens polynomial (g_ldPoynomType) taken when photos are added, so that a render on
    // another thread never reads the program-wide value while the UI thread changes it.
    int m_lensPolynomial = 1;
    InterpolationMode m_mode = NoInterpolationMode;
};

class CSphericalSurface : public CCylindricalSurface {
public:
    CSphericalSurface() = default;
    ~CSphericalSurface() override = default;

    double calc_surface_radius(double x, double y, double z) const override;
    double calc_vertical_size(double X, double Y, double Z) const override;
    void norm_vertical_size(double& a, double& b) const override;
    bool calc_panorama_surf_size() override;
    void calc_img_vert_projection_to_surf(const Data& d, double& y1, double& y2) const override;
    double CalcMinSurfaseRadius(double s) const override;
    bool IsCylindrical() const override { return false; }

protected:
    double RowValue(int y) const override;
};

// Inverse of the lens model: the photo point whose ideal position is (x, y). Newton's
// method on g(r) = r L(r) = |(x, y)|, at most 100 steps; true when it converged to 1e-6.
// radius (the photo's half diagonal) does not enter the result.
bool InvLensDistortion(double* outX, double* outY, double x, double y, double radius, const D3Param& p);

// The same for one polynomial (true: 1 + k1 r^2 + k2 r^4, false: 1 + k2 r^2 + k3 r^3),
// inline for the render's pixel loops.
template <bool Type24>
inline bool InvLensDistortionT(double* outX, double* outY, double x, double y, const D3Param& p)
{
    const double rho = std::sqrt(x * x + y * y);
    if (rho == 0.0) {
        *outX = x;
        *outY = y;
        return true;
    }
    auto g = [&](double r) {
        const double r2 = r * r;
        return Type24 ? r * (1.0 + p.k1 * r2 + p.k2 * r2 * r2) : r * (1.0 + p.k2 * r2 + p.k3 * r2 * r);
    };
    auto dg = [&](double r) {
        const double r2 = r * r;
        return Type24 ? 1.0 + 3.0 * p.k1 * r2 + 5.0 * p.k2 * r2 * r2 : 1.0 + 3.0 * p.k2 * r2 + 4.0 * p.k3 * r2 * r;
    };
    double r = rho;
    double e = g(r) - rho;
    for (int updates = 0; !(std::fabs(e) <= 1e-6) && updates < 100; ++updates) {
        r -= e / dg(r);
        e = g(r) - rho;
    }
    *outX = x * r / rho;
    *outY = y * r / rho;
    // A negative root is a folded lens, not a distance: the point has no preimage.
    return std::fabs(e) <= 1e-6 && r >= 0.0;
}
bool InvLensDistortion24(double* outX, double* outY, double x, double y, const D3Param& p);
bool InvLensDistortion23(double* outX, double* outY, double x, double y, const D3Param& p);
