// Checks of image files whose decoders accept a cut-off file: the JPEG and BMP readers
// fill what is missing and report success, so a photo truncated on disk would otherwise
// load as a silently wrong picture.
#pragma once

#include <cstddef>

#include <QByteArray>
#include <QString>

namespace PanoramaLib {

// True when image data of the file at `path`, read as `format` ("jpeg", "bmp"; other
// formats are not judged), is missing: the file ends before its image data does, or a
// JPEG's coded data ran out or could not be read. `decoderWarned`: the toolkit's JPEG
// decoder complained about the file, which then has its coded data decoded again to
// learn what it met. Bytes a decoder skips between segments are not missing data.
bool IsImageDataMissing(const QString& path, const QByteArray& format, bool decoderWarned);

// The JPEG judgement of IsImageDataMissing on bytes already in memory.
bool IsJpegDataMissing(const unsigned char* data, std::size_t size, bool decoderWarned);

// On bytes already in memory: the stream ends before its image data does (JpegEnd::Cut).
bool IsTruncatedJpeg(const unsigned char* data, std::size_t size);
bool IsTruncatedBmp(const unsigned char* data, std::size_t size);

}  // namespace PanoramaLib
