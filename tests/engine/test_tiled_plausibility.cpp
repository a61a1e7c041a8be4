// Plausibility tests of the tiled engine: the transform a pair's fit gives (both
// directions of the corner test).
#include <gtest/gtest.h>

#include "core/linalg.h"
#include "engine/tiled/panorama.h"

using VarnoBase::Size;

// The fit maps photo a into photo b; each direction of the test catches its own
// transforms: a shift that carries b's corners back beyond the 16-bit range while a's
// corners stay inside it is caught only by the first, the opposite shift only by the
// second, and BadTransform1 refuses both.
TEST(TiledPairTransform, EachDirectionIsCheckedOnItsOwn)
{
    const Size a(400, 300), b(1900, 300);
    struct Case {
        const char* name;
        Size sizeA, sizeB;
        double H[3][3];
        bool forward, backward;  // BadTransform2(a, b, H), BadTransform2(b, a, inverse)
    } const cases[] = {
        {"identity", a, a, {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, false, false},
        {"b wider than a, within five times", a, b, {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, false, false},
        {"b's corners carried back beyond the range", a, b, {{1, 0, -32500}, {0, 1, 0}, {0, 0, 1}}, true, false},
        {"a's corners carried beyond the range", a, b, {{1, 0, 32500}, {0, 1, 0}, {0, 0, 1}}, false, true},
        {"a magnified five and a half times", a, a, {{5.5, 0, 0}, {0, 5.5, 0}, {0, 0, 1}}, true, true},
    };
    for (const Case& c : cases) {
        double inverse[3][3];
        ASSERT_TRUE(Utils::pinv3x3(inverse, c.H)) << c.name;
        EXPECT_EQ(std::pair(Tiled_Panorama::BadTransform2(c.sizeA, c.sizeB, c.H),
                            Tiled_Panorama::BadTransform2(c.sizeB, c.sizeA, inverse)),
                  std::pair(c.forward, c.backward))
            << c.name;
        EXPECT_EQ(Tiled_Panorama::BadTransform1(c.sizeA, c.sizeB, c.H), c.forward || c.backward) << c.name;
    }
    const double line[3][3] = {{1, 0, 0}, {0, 0, 0}, {0, 0, 1}};  // a squeezed to a line: no inverse
    EXPECT_TRUE(Tiled_Panorama::BadTransform1(a, a, line));
}
