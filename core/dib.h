// The pixel store: one 8-bit grey or 24-bit colour raster (rows padded to 4 bytes,
// stepped by bytesPerLine), read from and written to image files, and unloadable
// so that a photo's pixels can be dropped and read again from its file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <QImage>
#include <QImageIOHandler>

#include "core/refcount.h"

class QMutex;
class QPainter;
class QRect;

namespace PanoramaLib {

// The program's one limit on what loading a photo may allocate at its peak, in bytes:
// the decoded image plus any copy its conversion to 24 bits needs. The image model's
// start-up gives the toolkit's image readers the same limit, so that every program and
// every reader of image files works under it. A 24-bit photo costs 4 bytes a pixel while
// it loads: 268 megapixels (16384 x 16384) fit.
constexpr std::int64_t kImageAllocationLimit = static_cast<std::int64_t>(1024) << 20;

// What loading a `width` x `height` photo that decodes to `decoded` allocates at its peak;
// `quarterTurn`: the photo is stored on its side and turned upright after its conversion
// to 24 bits, which needs a second 24-bit raster.
std::int64_t PhotoLoadBytes(QImage::Format decoded, int width, int height, bool quarterTurn = false);

// A raster as stored in its file, turned the way its camera was held: `orientation` is
// what the image reader reports of the file's orientation tag (EXIF). Mirrored in place
// first, then a quarter turn clockwise, as the tag's eight values are defined; null when
// there is no memory for the turned raster.
QImage Upright(QImage image, QImageIOHandler::Transformations orientation);

// Thrown by a store copy that cannot be made; caught by CPanoElement::FromImage.
struct dibException {};

// QueryObject's id for the QtDibImpl behind an IDib.
constexpr int kQueryDibImpl = 2;

class IDib {
public:
    virtual long AddRef() = 0;
    virtual long Release() = 0;
    // kQueryDibImpl answers the QtDibImpl behind the interface; any other id null.
    virtual void* QueryObject(int id) = 0;
    virtual bool hasBits() const = 0;
    virtual unsigned char* bits() const = 0;
    virtual int bytesPerLine() const = 0;
    virtual int bytesPerPixel() const = 0;  // bits per pixel: 8 or 24
    virtual int width() const = 0;
    virtual int height() const = 0;
    virtual bool load(const std::wstring& path, std::wstring* err) = 0;
    virtual bool save(const std::wstring& path, std::wstring* err) = 0;
    virtual void load() = 0;
    virtual void unload() = 0;
    virtual bool isUnloaded() const = 0;
    virtual bool createImage(int bpp, int width, int height, bool allocate) = 0;
    virtual void freeImage() = 0;
    virtual std::wstring getFileName() const = 0;
    virtual std::wstring getPathName() const = 0;
    virtual void setPathName(std::wstring path) = 0;
    virtual ~IDib() = default;
};

// Factory of pixel stores; implemented by the document and installed class-wide in
// CPanoElement::m_pIDibManager by the engine factories.
class IDibManager {
public:
    virtual IDib* CreateDibObject(bool threadSafe) const = 0;
    virtual IDib* CreateCopy(IDib* src, bool threadSafe) const = 0;

protected:
    ~IDibManager() = default;
};

class QtDibImpl : public VarnoBase::RefCounter, public IDib {
public:
    explicit QtDibImpl(bool threadSafe);
    QtDibImpl(const QtDibImpl& src, bool threadSafe);
    ~QtDibImpl() override;

    long AddRef() override { return RefCounter::AddRef(); }
    long Release() override { return RefCounter::Release(); }
    void* QueryObject(int id) override;
    bool hasBits() const override;
    unsigned char* bits() const override;
    int bytesPerLine() const override;
    int bytesPerPixel() const override;
    int width() const override;
    int height() const override;
    bool load(const std::wstring& path, std::wstring* err) override;
    bool save(const std::wstring& path, std::wstring* err) override;
    void load() override;
    void unload() override;
    bool isUnloaded() const override;
    bool createImage(int bpp, int width, int height, bool allocate) override;
    void freeImage() override;
    std::wstring getFileName() const override;
    std::wstring getPathName() const override;
    void setPathName(std::wstring path) override;

    void draw(const QRect& target, QPainter& painter, const QRect& source) const;
    QImage getImageObject() const;
    // Identity of the current pixels: changes whenever writable bits were handed out
    // (QImage::cacheKey), so a view can keep a converted copy until then.
    qint64 cacheKey() const;
    // The pixels converted to `format`, made under the store's lock without an
    // intermediate copy; null when there are none or memory runs out.
    QImage convertedImage(QImage::Format format) const;
    // The export of a finished panorama: format from the suffix, TIFF compression flag,
    // JPEG quality 0..100. Writes through a temporary file so a failure keeps the old file.
    bool save(const std::wstring& path, bool compressTiff, int quality, std::wstring* err);
    // Bytes the last successful file load held at once (0 before any).
    std::int64_t loadPeakBytes() const { return m_loadPeak; }

private:
    // Identity of the file behind m_pathName (size and modification time), taken when
    // the pixels were read or written; a reload refuses a file that has changed since.
    struct FileStamp {
        bool known = false;
        std::int64_t size = 0;
        std::int64_t modified = 0;  // milliseconds since the epoch
    };
    static FileStamp StampOf(const std::wstring& path);
    bool reloadMatches() const;

    std::unique_ptr<QMutex> m_pMutex;
    std::unique_ptr<QImage> m_pImage;
    int m_width = 0;
    int m_height = 0;
    int m_depth = 0;
    bool m_unloaded = false;
    std::wstring m_pathName;
    FileStamp m_stamp;
    std::int64_t m_loadPeak = 0;
};

}  // namespace PanoramaLib
