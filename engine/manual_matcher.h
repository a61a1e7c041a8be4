// Marker-based matching of one photo pair. The user places three markers on each
// photo; the matcher fits the pair's 3x3 transform (first photo's working pixels ->
// second photo's working pixels) to them under the chosen motion model after every
// change, by a least-squares solve, and says whether the result is plausible.
//
// The plausibility test of a pair transform (`BadTransform`) lives here too: the
// automatic matcher applies it to every fitted pair as well.
#pragma once

#include "core/geometry.h"
#include "engine/panorama_interfaces.h"

namespace PanoramaLib {

// The face of the matcher that the matching dialog works on. The engine owns the
// matcher; the dialog only borrows it while it is open (no virtual destructor).
class IManualMatcher {
public:
    // Which photo's markers: 0 the first photo; any other value the second.
    enum PTS_group : int {
        PTS_First = 0,
        PTS_Second = 1,
    };

    // Copies the three markers of the group (photo pixels) into out[0..2].
    virtual void GetPoints(PTS_group g, VarnoBase::Point* out) const = 0;
    // Moves marker `index` (clamped to 0..2) of the group and refits the transform.
    virtual void SetPoint(PTS_group g, const VarnoBase::Point& p, int index) = 0;
    // Back to the seeded markers (or the default ones) and the initial model.
    virtual void Reset() = 0;
    // The current transform, first photo -> second photo.
    virtual void GetTransform(double (*m)[3]) const = 0;
    // True when the current transform is unusable.
    virtual bool BadTransform() const = 0;
    virtual MotionModel GetMotionModel() const = 0;
    // Refits the transform when the model changes; the same model changes nothing.
    virtual void SetMotionModel(MotionModel mm) = 0;
    virtual bool IsCyclorama() const = 0;

protected:
    ~IManualMatcher() = default;
};

}  // namespace PanoramaLib

// Plausibility of a transform m from the first photo (size `first`) to the second:
// true (unusable) when either photo's outline, carried into the other photo's frame,
// is not finite, leaves the 16-bit coordinate range, collapses, or differs in width
// or height from that photo by more than a factor of 5.
bool BadTransform(const VarnoBase::Size& first, const VarnoBase::Size& second, const double (*m)[3]);
// One direction of that test: the source photo's corners carried through the inverse
// of m into the target photo's frame, compared with the target's size.
bool _BadTransform(const VarnoBase::Size& target, const VarnoBase::Size& source, const double (*m)[3]);

class CManualMatcher : public PanoramaLib::IManualMatcher {
public:
    explicit CManualMatcher(bool cyclorama);
    virtual ~CManualMatcher() = default;

    // IManualMatcher
    void GetPoints(PTS_group g, VarnoBase::Point* out) const override;
    void SetPoint(PTS_group g, const VarnoBase::Point& p, int index) override;
    void Reset() override;
    void GetTransform(double (*m)[3]) const override;
    bool BadTransform() const override;
    PanoramaLib::MotionModel GetMotionModel() const override { return m_motionModel; }
    void SetMotionModel(PanoramaLib::MotionModel mm) override;
    bool IsCyclorama() const override { return m_cyclorama; }

    // Plain start for a pair that found no match: default markers near the facing
    // edges of a left-to-right pair, model MotionTranslate (the argument is not read).
    void Init(const VarnoBase::Size& first, const VarnoBase::Size& second, PanoramaLib::MotionModel);
    // Start from an automatic match: the first photo's markers `pts`, the second's
    // mapped through m. An implausible m falls back to the plain start.
    void Init(const VarnoBase::Size& first, const VarnoBase::Size& second, const VarnoBase::Point* pts,
              const double (*m)[3], PanoramaLib::MotionModel mm);

    // Fits m to the markers under `model` and records the plausibility in m_bad.
    void CalcTransform(PanoramaLib::MotionModel model, double (*m)[3], const VarnoBase::Point* first,
                       const VarnoBase::Point* second);
    // The three fits; false when the markers do not determine the transform
    // (coincident or collinear markers, a dropped singular value).
    bool CalcTranslateTransform(double (*m)[3], const VarnoBase::Point* first, const VarnoBase::Point* second);
    bool CalcSimpleTransform(double (*m)[3], const VarnoBase::Point* first, const VarnoBase::Point* second);
    bool CalcAffineTransform(double (*m)[3], const VarnoBase::Point* first, const VarnoBase::Point* second);

private:
    void SetDefaultPoints();
    void MapInitPoints();
    void Recalculate() { CalcTransform(m_motionModel, m_transform, m_points[0], m_points[1]); }

    VarnoBase::Size m_sizeFirst;
    VarnoBase::Size m_sizeSecond;
    double m_initTransform[3][3] = {{0, 0, 0}, {0, 0, 0}, {0, 0, 1.0}};
    VarnoBase::Point m_initPoints[3];
    PanoramaLib::MotionModel m_initModel = PanoramaLib::MotionAffine;
    double m_transform[3][3] = {{0, 0, 0}, {0, 0, 0}, {0, 0, 1.0}};
    bool m_hasInit = false;
    PanoramaLib::MotionModel m_motionModel = PanoramaLib::MotionAffine;
    bool m_bad = false;
    VarnoBase::Point m_points[2][3];  // [0] first photo, [1] second photo
    bool m_changed = false;
    bool m_cyclorama;
};
