// The compressed TIFF of an exported panorama, written through libtiff: LZW with
// horizontal differencing (predictor 2). The toolkit's own TIFF writer offers LZW only
// without the predictor, which on photographs makes a file larger than no compression at
// all; with it, each byte is stored as its difference to the same channel of the pixel
// on its left, and those small, repeating differences are what LZW packs well.
//
// Any thread; nothing is shared between calls.
#pragma once

#include <QImage>

class QIODevice;

namespace PanoramaLib {

// Writes `image` as one RGB TIFF (8 bits a channel, strips of about 8 KB, the image's
// resolution with the unit and values of the toolkit's own TIFF writer) to `device`,
// which must be open for writing and seekable. Other formats than RGB888 are converted
// first. False on any error.
bool WriteLzwTiff(const QImage& image, QIODevice& device);

}  // namespace PanoramaLib
