// LZW with horizontal differencing through libtiff, onto a toolkit device; see the header.
#include "core/tiff_writer.h"

#include <QIODevice>

#include <tiffio.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace PanoramaLib {

namespace {

QIODevice& deviceOf(thandle_t handle)
{
    return *static_cast<QIODevice*>(handle);
}

tmsize_t readDevice(thandle_t handle, void* data, tmsize_t size)
{
    return deviceOf(handle).read(static_cast<char*>(data), size);
}

tmsize_t writeDevice(thandle_t handle, void* data, tmsize_t size)
{
    return deviceOf(handle).write(static_cast<const char*>(data), size);
}

toff_t seekDevice(thandle_t handle, toff_t offset, int whence)
{
    QIODevice& device = deviceOf(handle);
    const qint64 base = whence == SEEK_CUR ? device.pos() : whence == SEEK_END ? device.size() : 0;
    const qint64 target = base + static_cast<qint64>(offset);
    if (target < 0 || !device.seek(target))
        return static_cast<toff_t>(-1);
    return static_cast<toff_t>(target);
}

int closeDevice(thandle_t)
{
    return 0;  // the caller owns the device
}

toff_t sizeOfDevice(thandle_t handle)
{
    return static_cast<toff_t>(deviceOf(handle).size());
}

int mapNothing(thandle_t, void**, toff_t*)
{
    return 0;
}

void unmapNothing(thandle_t, void*, toff_t) {}

// libtiff reports through handlers; a failure here is answered by the result alone.
int quiet(TIFF*, void*, const char*, const char*, va_list)
{
    return 1;
}

struct TiffCloser {
    void operator()(TIFF* tiff) const { TIFFClose(tiff); }
};

struct OptionsFree {
    void operator()(TIFFOpenOptions* options) const { TIFFOpenOptionsFree(options); }
};

}  // namespace

bool WriteLzwTiff(const QImage& source, QIODevice& device)
{
    if (source.isNull() || !device.isWritable())
        return false;
    const QImage image =
        source.format() == QImage::Format_RGB888 ? source : source.convertToFormat(QImage::Format_RGB888);
    if (image.isNull())
        return false;

    const std::unique_ptr<TIFFOpenOptions, OptionsFree> options(TIFFOpenOptionsAlloc());
    if (!options)
        return false;
    TIFFOpenOptionsSetErrorHandlerExtR(options.get(), quiet, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(options.get(), quiet, nullptr);
    // "m": no memory mapping of a device that is being written.
    const std::unique_ptr<TIFF, TiffCloser> tiff(TIFFClientOpenExt("panorama", "wm", &device, readDevice,
                                                                   writeDevice, seekDevice, closeDevice,
                                                                   sizeOfDevice, mapNothing, unmapNothing,
                                                                   options.get()));
    if (!tiff)
        return false;
    TIFF* t = tiff.get();
    const auto width = static_cast<std::uint32_t>(image.width());
    const auto height = static_cast<std::uint32_t>(image.height());
    bool ok = TIFFSetField(t, TIFFTAG_IMAGEWIDTH, width) && TIFFSetField(t, TIFFTAG_IMAGELENGTH, height)
              && TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8) && TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3)
              && TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB)
              && TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG)
              && TIFFSetField(t, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT)
              && TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_LZW)
              && TIFFSetField(t, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL)
              && TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(t, 0));
    // The same resolution tags as the toolkit's writer gives an uncompressed file: pixels
    // per centimetre when both are whole numbers of them, else dots per inch, the unit a
    // 300 dpi panorama was made in (11811 dots per metre is no whole number a centimetre).
    if (ok && image.dotsPerMeterX() > 0 && image.dotsPerMeterY() > 0) {
        const bool perCentimetre = image.dotsPerMeterX() % 100 == 0 && image.dotsPerMeterY() % 100 == 0;
        const int x = perCentimetre ? image.dotsPerMeterX() / 100 : image.logicalDpiX();
        const int y = perCentimetre ? image.dotsPerMeterY() / 100 : image.logicalDpiY();
        ok = TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, perCentimetre ? RESUNIT_CENTIMETER : RESUNIT_INCH) &&
             TIFFSetField(t, TIFFTAG_XRESOLUTION, static_cast<float>(x)) &&
             TIFFSetField(t, TIFFTAG_YRESOLUTION, static_cast<float>(y));
    }
    // The predictor differences each row in place: the image's own rows stay untouched.
    const std::size_t rowBytes = std::size_t(width) * 3;
    std::vector<unsigned char> row(rowBytes);
    for (std::uint32_t y = 0; ok && y < height; ++y) {
        std::memcpy(row.data(), image.constScanLine(static_cast<int>(y)), rowBytes);
        ok = TIFFWriteScanline(t, row.data(), y, 0) == 1;
    }
    return ok && TIFFWriteDirectory(t) == 1 && TIFFFlush(t) == 1;
}

}  // namespace PanoramaLib
