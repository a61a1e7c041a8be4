// Structural checks of image files whose decoders accept a cut-off file: the JPEG and
// BMP readers fill what is missing and report success, so a photo truncated on disk
// would otherwise load as a silently wrong picture.
#pragma once

#include <cstddef>

#include <QByteArray>
#include <QString>

namespace PanoramaLib {

// True when the file at `path`, read as `format` ("jpeg", "bmp"; other formats are not
// judged), ends before its image data does. A JPEG that ends in the data of its last
// scan is judged by its structure only: whether that data is whole, its decoder says.
bool IsTruncatedImageFile(const QString& path, const QByteArray& format);

// The same on bytes already in memory.
bool IsTruncatedJpeg(const unsigned char* data, std::size_t size);
bool IsTruncatedBmp(const unsigned char* data, std::size_t size);

}  // namespace PanoramaLib
