// The pixel store over QImage. Every photo is read into 24-bit RGB whatever its own
// format; 8-bit images carry a grey colour table so that value 255 is white.
// Files are written through QSaveFile: the target is replaced only after the whole
// image has been written, so a failed save never destroys the file it would replace.
// A compressed TIFF is written by libtiff (tiff_writer.h), every other file by the
// toolkit's writers.
//
// Loading is held to kImageAllocationLimit: the size in the file's header is checked
// before anything is decoded, and a decoded image of 24 or more bits a pixel becomes
// 24-bit RGB in its own buffer, so a colour photo never has a second full copy. A JPEG
// whose image data is missing or unreadable (cut short, or decoded out of step) is
// refused rather than handed on with grey or scrambled blocks; one whose decoder only
// skipped stray bytes between segments, a common fault of some cameras and editors,
// loads. The toolkit's decoder complains through its log on the loading thread, which
// tells that the file is worth a closer look (image_file_check.h).
//
// A photo whose file says the camera was held on its side (the EXIF orientation tag) is
// turned upright after its conversion to 24 bits, so the engines and the views see it
// as it was taken, and the turn copies 3 rather than 4 bytes a pixel.
#include "core/dib.h"

#include "core/image_file_check.h"
#include "core/tiff_writer.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QImageWriter>
#include <QMutex>
#include <QMutexLocker>
#include <QPainter>
#include <QRect>
#include <QSaveFile>
#include <QTransform>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <exception>
#include <functional>
#include <limits>
#include <mutex>

#include <sys/stat.h>

namespace PanoramaLib {

namespace {

const wchar_t kUnsupportedFormat[] = L"Unsupported file format.";
const wchar_t kFileNotFound[] = L"File not found.";
const wchar_t kCannotRead[] = L"Cannot read the file.";
const wchar_t kEmpty[] = L"The file is empty.";  // a copy that never finished, not a strange format
const wchar_t kCorrupt[] = L"Corrupt or incomplete image data.";
const wchar_t kNoMemory[] = L"Not enough memory to load the photo.";

// The image model's start-up, before main in every program that links the store.
[[maybe_unused]] const bool g_readerLimitSet =
    (QImageReader::setAllocationLimit(static_cast<int>(kImageAllocationLimit >> 20)), true);

std::wstring tooLarge(int width, int height)
{
    return L"photo too large: " + std::to_wstring(width) + L"\u00D7" + std::to_wstring(height);
}

std::int64_t imageBytes(QImage::Format format, int width, int height)
{
    const int bpp = QImage::toPixelFormat(format).bitsPerPixel();
    if (bpp <= 0 || width <= 0 || height <= 0)
        return -1;
    return (((static_cast<std::int64_t>(width) * bpp + 31) >> 5) << 2) * height;
}

// The toolkit converts an image of 24 or more bits a pixel to 24-bit RGB within its own
// buffer (each row is rewritten front to back, then the buffer shrinks).
bool convertsInPlace(QImage::Format format)
{
    return QImage::toPixelFormat(format).bitsPerPixel() >= 24;
}

// Decoder complaints on the thread that is loading. The JPEG decoder goes on after
// damaged data and says so only in the log, and only for the first fault of a file;
// every other message passes to the handler that was installed before.
struct DecoderReport {
    int complaints = 0;
};
thread_local DecoderReport* t_report = nullptr;

// Collects the decoder's complaints on this thread for its lifetime.
struct DecoderWatch {
    DecoderWatch() { t_report = &report; }
    ~DecoderWatch() { t_report = nullptr; }
    DecoderWatch(const DecoderWatch&) = delete;
    DecoderWatch& operator=(const DecoderWatch&) = delete;
    DecoderReport report;
};
std::atomic<QtMessageHandler> g_nextHandler{nullptr};

void watchDecoderMessages(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (t_report && context.category && std::strcmp(context.category, "qt.gui.imageio.jpeg") == 0) {
        ++t_report->complaints;
        return;
    }
    if (QtMessageHandler next = g_nextHandler.load())
        next(type, context, message);
    else
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
}

void installDecoderWatch()
{
    static std::once_flag once;
    std::call_once(once, [] { g_nextHandler.store(qInstallMessageHandler(watchDecoderMessages)); });
}

// Reads the photo at `path` into 24-bit RGB, or gives a null image and the reason.
// `peak` receives the bytes held at once.
QImage readPhoto(const QString& path, std::wstring* why, std::int64_t* peak)
{
    *peak = 0;
    const QFileInfo info(path);
    if (!info.exists()) {
        *why = kFileNotFound;
        return QImage();
    }
    if (!info.isFile() || !info.isReadable()) {
        *why = kCannotRead;
        return QImage();
    }
    if (info.size() == 0) {
        *why = kEmpty;
        return QImage();
    }
    installDecoderWatch();
    try {
        DecoderWatch watch;
        QImageReader reader(path);
        reader.setDecideFormatFromContent(true);
        const QByteArray format = reader.format();  // known only before the read
        const QSize size = reader.size();
        const QImageIOHandler::Transformations orientation = reader.transformation();
        const bool quarterTurn = orientation.testFlag(QImageIOHandler::TransformationRotate90);
        QImage::Format decoded = reader.imageFormat();
        if (decoded == QImage::Format_Invalid)
            decoded = QImage::Format_RGB32;
        if (size.isValid()) {
            const std::int64_t need = PhotoLoadBytes(decoded, size.width(), size.height(), quarterTurn);
            if (need < 0 || need > kImageAllocationLimit) {
                *why = tooLarge(size.width(), size.height());
                return QImage();
            }
        }

        QImage raw;
        if (!reader.read(&raw) || raw.isNull()) {
            const auto error = reader.error();
            *why = error == QImageReader::UnsupportedFormatError ? kUnsupportedFormat
                   : error == QImageReader::DeviceError          ? kCannotRead
                   : error == QImageReader::FileNotFoundError    ? kFileNotFound
                                                                 : kCorrupt;
            return QImage();
        }
        // A reader may report success on a cut-off JPEG or BMP.
        if (IsImageDataMissing(path, format, watch.report.complaints > 0)) {
            *why = kCorrupt;
            return QImage();
        }
        // The header may have told another format than the decoder made.
        const std::int64_t need = PhotoLoadBytes(raw.format(), raw.width(), raw.height(), quarterTurn);
        if (need < 0 || need > kImageAllocationLimit) {
            *why = tooLarge(raw.width(), raw.height());
            return QImage();
        }
        const std::int64_t decodedBytes = raw.sizeInBytes();
        const uchar* before = raw.constBits();
        raw.convertTo(QImage::Format_RGB888);
        if (raw.isNull()) {
            *why = kNoMemory;
            return QImage();
        }
        *peak = decodedBytes + (raw.constBits() == before ? 0 : raw.sizeInBytes());
        if (orientation != QImageIOHandler::TransformationNone) {
            const std::int64_t storedBytes = raw.sizeInBytes();
            raw = Upright(std::move(raw), orientation);
            if (raw.isNull()) {
                *why = kNoMemory;
                return QImage();
            }
            if (quarterTurn)
                *peak = std::max<std::int64_t>(*peak, storedBytes + raw.sizeInBytes());
        }
        return raw;
    } catch (const std::exception&) {
        *why = kNoMemory;
        return QImage();
    }
}

QString toQ(const std::wstring& s)
{
    return QString::fromStdWString(s);
}

QList<QRgb> greyTable()
{
    QList<QRgb> table(256);
    for (int i = 0; i < 256; ++i)
        table[i] = qRgb(i, i, i);
    return table;
}

// Row length in bytes of a width x bpp raster with rows padded to 4 bytes, or -1 when
// it does not fit the int that the store reports it in.
std::int64_t paddedRowBytes(int width, int bpp)
{
    const std::int64_t bytes = ((static_cast<std::int64_t>(width) * bpp / 8) + 3) & ~static_cast<std::int64_t>(3);
    return bytes > std::numeric_limits<int>::max() ? -1 : bytes;
}

// Passes writes on to a file and remembers any that was not taken whole. A file engine
// answers a short count, without an error, when the disk fills up partway through a
// block, and some image writers do not check the count.
class WriteCheckingDevice : public QIODevice {
public:
    explicit WriteCheckingDevice(QIODevice* target) : m_target(target)
    {
        QIODevice::open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    }
    bool failed() const { return m_failed; }
    bool isSequential() const override { return m_target->isSequential(); }
    qint64 size() const override { return m_target->size(); }
    bool seek(qint64 pos) override
    {
        if (!m_target->seek(pos)) {
            m_failed = true;
            return false;
        }
        return QIODevice::seek(pos);
    }

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* data, qint64 len) override
    {
        const qint64 written = m_target->write(data, len);
        if (written != len)
            m_failed = true;
        return written;
    }

private:
    QIODevice* m_target;
    bool m_failed = false;
};

// Writes a whole file with `write` into a temporary file beside `path`, then moves it
// over `path`.
bool writeWholeFile(const QString& path, const std::function<bool(QIODevice&)>& write)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    WriteCheckingDevice device(&file);
    if (!write(device) || device.failed() || file.error() != QFileDevice::NoError || !file.flush()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

// Negative compression or quality leave the writer's default.
bool writeImageFile(const QImage& image, const QString& path, const QByteArray& format, int compression,
                    int quality)
{
    return writeWholeFile(path, [&](QIODevice& device) {
        QImageWriter writer(&device, format);
        if (compression >= 0)
            writer.setCompression(compression);
        if (quality >= 0)
            writer.setQuality(quality);
        return writer.write(image);
    });
}

}  // namespace

std::int64_t PhotoLoadBytes(QImage::Format decoded, int width, int height, bool quarterTurn)
{
    const std::int64_t bytes = imageBytes(decoded, width, height);
    if (bytes < 0)
        return bytes;
    const std::int64_t rgb = imageBytes(QImage::Format_RGB888, width, height);
    if (rgb < 0)
        return -1;
    const std::int64_t converted = decoded == QImage::Format_RGB888 || convertsInPlace(decoded) ? bytes : bytes + rgb;
    // The turned raster's rows are padded anew: measure it by its own width.
    const std::int64_t turned = quarterTurn ? imageBytes(QImage::Format_RGB888, height, width) : 0;
    return quarterTurn ? std::max(converted, rgb + turned) : converted;
}

QImage Upright(QImage image, QImageIOHandler::Transformations orientation)
{
    const bool horizontal = orientation.testFlag(QImageIOHandler::TransformationMirror);
    const bool vertical = orientation.testFlag(QImageIOHandler::TransformationFlip);
    if (horizontal || vertical)
        image.mirror(horizontal, vertical);
    if (orientation.testFlag(QImageIOHandler::TransformationRotate90))
        image = image.transformed(QTransform().rotate(90));
    return image;
}

QtDibImpl::QtDibImpl(bool threadSafe) : RefCounter(0)
{
    if (threadSafe)
        m_pMutex = std::make_unique<QMutex>();
}

QtDibImpl::QtDibImpl(const QtDibImpl& src, bool threadSafe)
    : RefCounter(0),
      m_width(src.m_width),
      m_height(src.m_height),
      m_depth(src.m_depth),
      m_unloaded(src.m_unloaded),
      m_pathName(src.m_pathName),
      m_stamp(src.m_stamp)
{
    if (threadSafe)
        m_pMutex = std::make_unique<QMutex>();
    if (!src.m_pImage)
        return;
    if (src.m_pMutex) {
        QImage copy;
        {
            QMutexLocker lock(src.m_pMutex.get());
            copy = src.m_pImage->copy();
        }
        if (copy.isNull() && !src.m_pImage->isNull())
            throw dibException();  // no memory for the deep copy
        m_pImage = std::make_unique<QImage>(std::move(copy));
    } else {
        m_pImage = std::make_unique<QImage>(*src.m_pImage);  // shared until the first write
    }
}

QtDibImpl::~QtDibImpl()
{
    if (m_pMutex) {
        QMutexLocker lock(m_pMutex.get());
        m_pImage.reset();
    } else {
        m_pImage.reset();
    }
}

void* QtDibImpl::QueryObject(int id)
{
    return id == kQueryDibImpl ? this : nullptr;
}

bool QtDibImpl::hasBits() const
{
    return m_pImage && !m_pImage->isNull();
}

unsigned char* QtDibImpl::bits() const
{
    if (!m_pImage)
        return nullptr;
    if (m_pMutex) {
        QMutexLocker lock(m_pMutex.get());
        return m_pImage->bits();
    }
    return m_pImage->bits();
}

int QtDibImpl::bytesPerLine() const
{
    if (m_pImage)
        return static_cast<int>(m_pImage->bytesPerLine());
    const std::int64_t bytes = paddedRowBytes(m_width, m_depth);
    return bytes < 0 ? 0 : static_cast<int>(bytes);
}

int QtDibImpl::bytesPerPixel() const
{
    return m_pImage ? m_pImage->depth() : m_depth;
}

int QtDibImpl::width() const
{
    return m_pImage ? m_pImage->width() : m_width;
}

int QtDibImpl::height() const
{
    return m_pImage ? m_pImage->height() : m_height;
}

QtDibImpl::FileStamp QtDibImpl::StampOf(const std::wstring& path)
{
    // Straight from stat: the toolkit's file times pass through the local time zone,
    // whose set-up is not safe for photos loaded on several threads at once.
    FileStamp stamp;
    struct stat st;
    if (::stat(QFile::encodeName(toQ(path)).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return stamp;
    stamp.known = true;
    stamp.size = st.st_size;
    stamp.modified = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
    return stamp;
}

bool QtDibImpl::load(const std::wstring& path, std::wstring* err)
{
    if (err)
        err->clear();
    if (m_pImage)
        return false;

    const FileStamp stamp = StampOf(path);
    std::wstring why;
    std::int64_t peak = 0;
    QImage rgb = readPhoto(toQ(path), &why, &peak);
    if (rgb.isNull()) {
        if (err)
            *err = why;
        return false;
    }

    m_pImage = std::make_unique<QImage>(std::move(rgb));
    m_width = m_pImage->width();
    m_height = m_pImage->height();
    m_depth = m_pImage->depth();
    m_pathName = path;
    m_stamp = stamp;
    m_loadPeak = peak;
    return true;
}

bool QtDibImpl::reloadMatches() const
{
    if (!m_stamp.known)
        return true;
    const FileStamp now = StampOf(m_pathName);
    return now.known && now.size == m_stamp.size && now.modified == m_stamp.modified;
}

void QtDibImpl::load()
{
    if (!m_unloaded)
        return;
    // The pixels must come back exactly as they were dropped: the element's planes and
    // everything computed from the photo assume its old size and depth. A file that
    // vanished, changed or decodes to another raster leaves the store without pixels.
    const int width = m_width;
    const int height = m_height;
    const int depth = m_depth;
    if (reloadMatches() && load(m_pathName, nullptr)) {
        if (m_pImage->width() != width || m_pImage->height() != height || m_pImage->depth() != depth) {
            m_pImage.reset();
            m_width = width;
            m_height = height;
            m_depth = depth;
        }
    }
    m_unloaded = false;
}

bool QtDibImpl::save(const std::wstring& path, std::wstring* /*err*/)
{
    if (!hasBits())
        return false;
    const QString suffix = QFileInfo(toQ(path)).suffix().toLower();
    QByteArray format;
    if (suffix == QLatin1String("tif") || suffix == QLatin1String("tiff"))
        format = "tiff";
    else if (suffix == QLatin1String("jpg"))
        format = "jpg";
    else if (suffix == QLatin1String("jpeg"))
        format = "jpeg";
    else if (suffix == QLatin1String("png") || suffix == QLatin1String("bmp") || suffix == QLatin1String("ppm") ||
             suffix == QLatin1String("xbm") || suffix == QLatin1String("xpm"))
        format = suffix.toLatin1();
    else
        return false;

    if (!writeImageFile(*m_pImage, toQ(path), format, -1, -1))
        return false;
    m_pathName = path;
    m_stamp = StampOf(path);
    return true;
}

void QtDibImpl::unload()
{
    if (m_pathName.empty())
        return;
    m_unloaded = true;
    if (!m_stamp.known)
        m_stamp = StampOf(m_pathName);
    if (m_pImage) {
        m_width = m_pImage->width();
        m_height = m_pImage->height();
        m_depth = m_pImage->depth();
        m_pImage.reset();
    }
}

bool QtDibImpl::isUnloaded() const
{
    return m_unloaded;
}

bool QtDibImpl::createImage(int bpp, int width, int height, bool allocate)
{
    if (m_pImage)
        return false;
    if (bpp != 8 && bpp != 24)
        return false;
    if (width <= 0 || height <= 0 || paddedRowBytes(width, bpp) < 0)
        return false;
    if (!allocate) {
        m_depth = bpp;
        m_width = width;
        m_height = height;
        return true;
    }

    QImage image;
    try {
        image = QImage(width, height, bpp == 24 ? QImage::Format_RGB888 : QImage::Format_Indexed8);
    } catch (const std::exception&) {
        return false;
    }
    if (image.isNull())
        return false;
    if (bpp == 8)
        image.setColorTable(greyTable());
    m_pImage = std::make_unique<QImage>(std::move(image));
    m_depth = bpp;
    m_width = width;
    m_height = height;
    return true;
}

void QtDibImpl::freeImage()
{
    m_pathName.clear();
    m_stamp = FileStamp();
    m_pImage.reset();
}

std::wstring QtDibImpl::getFileName() const
{
    return QFileInfo(toQ(m_pathName)).fileName().toStdWString();
}

std::wstring QtDibImpl::getPathName() const
{
    return m_pathName;
}

void QtDibImpl::setPathName(std::wstring path)
{
    m_pathName = std::move(path);
    m_stamp = FileStamp();
}

void QtDibImpl::draw(const QRect& target, QPainter& painter, const QRect& source) const
{
    if (!m_pImage)
        return;
    if (m_pMutex) {
        QMutexLocker lock(m_pMutex.get());
        painter.drawImage(target, *m_pImage, source);
    } else {
        painter.drawImage(target, *m_pImage, source);
    }
}

QImage QtDibImpl::getImageObject() const
{
    if (!m_pImage)
        return QImage();
    if (m_pMutex) {
        QMutexLocker lock(m_pMutex.get());
        return m_pImage->copy();
    }
    return *m_pImage;
}

qint64 QtDibImpl::cacheKey() const
{
    if (!m_pImage)
        return 0;
    if (m_pMutex) {
        QMutexLocker lock(m_pMutex.get());
        return m_pImage->cacheKey();
    }
    return m_pImage->cacheKey();
}

QImage QtDibImpl::convertedImage(QImage::Format format) const
{
    std::unique_ptr<QMutexLocker<QMutex>> lock;
    if (m_pMutex)
        lock = std::make_unique<QMutexLocker<QMutex>>(m_pMutex.get());
    if (!m_pImage || m_pImage->isNull())
        return QImage();
    try {
        return m_pImage->convertToFormat(format);
    } catch (const std::exception&) {
        return QImage();
    }
}

bool QtDibImpl::save(const std::wstring& path, bool compressTiff, int quality, std::wstring* /*err*/)
{
    if (!hasBits())
        return false;
    QByteArray format = QFileInfo(toQ(path)).suffix().toLower().toLatin1();
    if (format == "tif")
        format = "tiff";
    if (format.isEmpty() || !QImageWriter::supportedImageFormats().contains(format))
        return false;

    if (format == "tiff" && compressTiff)
        return writeWholeFile(toQ(path), [&](QIODevice& device) { return WriteLzwTiff(*m_pImage, device); });
    int compression = -1;
    int jpegQuality = -1;
    if (format == "tiff")
        compression = 0;
    else if (format == "jpg" || format == "jpeg")
        jpegQuality = quality;

    return writeImageFile(*m_pImage, toQ(path), format, compression, jpegQuality);
}

}  // namespace PanoramaLib
