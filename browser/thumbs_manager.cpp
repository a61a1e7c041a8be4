// The thumbnail manager, its builder workers and its cleaner; see the header.
#include "browser/thumbs_manager.h"

#include "browser/thumbs_database.h"
#include "core/dib.h"
#include "core/parallel.h"
#include "core/thread_handoff.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QImageReader>

#include <algorithm>
#include <exception>

namespace {

// Photos above Qt's default allocation limit (128 MB) would get no thumbnail and be
// retried on every paint.
constexpr int kAllocationLimitMb = 4096;

// libjpeg decodes at 1/2, 1/4 and 1/8 of the size while it decodes.
constexpr int kLargestReduction = 8;

}  // namespace

QSize ThumbSizeFor(QSize photo)
{
    if (photo.isEmpty())
        return {};
    return photo.scaled(thumbwidth, thumbheight, Qt::KeepAspectRatio);
}

bool LoadThumbSource(const QString& path, bool reducedDecode, ThumbSource& out)
{
    QImageReader reader(path);
    const QSize stored = reader.size();  // as the file holds it, before any turn
    // A photo taken with the camera on its side is stored on its side: its thumbnail is
    // made in the stored orientation and turned upright at the end, where it is small.
    const QImageIOHandler::Transformations orientation = reader.transformation();
    const bool quarterTurn = orientation.testFlag(QImageIOHandler::TransformationRotate90);
    const auto upright = [&](QSize size) { return quarterTurn ? size.transposed() : size; };
    const QSize target = upright(ThumbSizeFor(upright(stored)));  // stored orientation
    if (reducedDecode && target.isValid() && reader.format() == "jpeg") {
        // The largest reduction whose result still covers the thumbnail. Rounding down
        // keeps the reader's own choice of reduction (integer ratio) at this one. The
        // reader reduces the raster as stored.
        int reduction = 1;
        while (reduction < kLargestReduction && stored.width() / (2 * reduction) >= target.width()
               && stored.height() / (2 * reduction) >= target.height())
            reduction *= 2;
        if (reduction > 1)
            reader.setScaledSize(QSize(stored.width() / reduction, stored.height() / reduction));
    }
    QImage image;
    if (!reader.read(&image) || image.isNull())
        return false;
    out.photoSize = upright(stored.isValid() ? stored : image.size());
    out.photoDepth = image.depth();
    // Nearest sampling picks whole pixels, so scaling before the per-pixel conversion to
    // RGB888 gives the same thumbnail for a fraction of the work.
    const QSize storedThumb = upright(ThumbSizeFor(out.photoSize));
    out.thumb = PanoramaLib::Upright(image.scaled(storedThumb, Qt::IgnoreAspectRatio, Qt::FastTransformation),
                                     orientation);
    if (out.thumb.format() != QImage::Format_RGB888)
        out.thumb.convertTo(QImage::Format_RGB888);
    return !out.thumb.isNull();
}

// ---------------------------------------------------------------------------------
// ThumbsBuilderThread

ThumbsBuilderThread::ThumbsBuilderThread(ThumbsManager& manager, int workers)
    : m_manager(manager), m_workers(Utils::WorkerThreads(workers))
{
}

ThumbsBuilderThread::~ThumbsBuilderThread()
{
    stop();
}

void ThumbsBuilderThread::pushFrontLocked(const QString& path)
{
    const auto found = m_index.constFind(path);
    if (found != m_index.constEnd()) {
        m_queue.splice(m_queue.begin(), m_queue, found.value());
    } else {
        m_queue.push_front(path);
        m_index.insert(path, m_queue.begin());
    }
}

void ThumbsBuilderThread::addFile(const QString& path)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_exit)
            return;
        pushFrontLocked(path);
    }
    m_event.SetEvent();
}

void ThumbsBuilderThread::addFilesList(const QStringList& paths)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_exit)
            return;
        for (auto it = paths.crbegin(); it != paths.crend(); ++it)
            pushFrontLocked(*it);
    }
    m_event.SetEvent();
}

void ThumbsBuilderThread::setFilesList(const QStringList& paths)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_exit)
            return;
        m_queue.clear();
        m_index.clear();
        for (const QString& path : paths) {
            if (!m_index.contains(path)) {
                m_queue.push_back(path);
                m_index.insert(path, std::prev(m_queue.end()));
            }
        }
    }
    m_event.SetEvent();
}

bool ThumbsBuilderThread::exit() const
{
    std::lock_guard lock(m_mutex);
    return m_exit;
}

QStringList ThumbsBuilderThread::queued() const
{
    std::lock_guard lock(m_mutex);
    return QStringList(m_queue.begin(), m_queue.end());
}

void ThumbsBuilderThread::startWorkers(QThread::Priority priority)
{
    if (isRunning() || exit())
        return;
    start(priority);
}

void ThumbsBuilderThread::stop()
{
    {
        std::lock_guard lock(m_mutex);
        m_exit = true;
        m_queue.clear();
        m_index.clear();
    }
    m_event.SetEvent();
    VarnoBase::JoinThread(*this);
}

void ThumbsBuilderThread::run()
{
    const VarnoBase::ThreadEndHandOff end(this);
    const auto endAll = [this] {
        {
            std::lock_guard lock(m_mutex);
            m_exit = true;
            m_queue.clear();
            m_index.clear();
        }
        m_event.SetEvent();
    };
    try {
        Utils::RunWorkers(m_workers, [this](int) { workLoop(); }, endAll);
    } catch (...) {
        // A failure no single thumbnail could absorb ended every worker (endAll): the
        // browser goes on without new thumbnails rather than losing the program.
    }
}

void ThumbsBuilderThread::workLoop()
{
    for (;;) {
        m_event.Wait();
        for (;;) {
            QString path;
            bool more = false;
            {
                std::lock_guard lock(m_mutex);
                if (m_exit) {
                    // One signal releases only the workers waiting at that moment; pass
                    // it on to one that was just about to wait.
                    m_event.SetEvent();
                    return;
                }
                // The newest request that no other worker is building right now.
                auto it = std::find_if(m_queue.begin(), m_queue.end(),
                                       [&](const QString& p) { return !m_building.contains(p); });
                if (it == m_queue.end())
                    break;
                path = std::move(*it);
                m_index.remove(path);
                m_queue.erase(it);
                m_building.insert(path);
                more = !m_queue.empty();
            }
            if (more)
                m_event.SetEvent();  // let an idle worker take the next one
            try {
                m_manager.BuildThumb(path);
            } catch (const std::exception&) {
                // An out-of-memory photo stays unbuilt; the worker goes on.
            }
            std::lock_guard lock(m_mutex);
            m_building.remove(path);
        }
    }
}

// ---------------------------------------------------------------------------------
// ThumbCleanerThread

ThumbCleanerThread::ThumbCleanerThread(ThumbsManager& manager, std::chrono::milliseconds delay)
    : m_manager(manager), m_delay(delay)
{
}

ThumbCleanerThread::~ThumbCleanerThread()
{
    stop();
}

void ThumbCleanerThread::stop()
{
    m_stop.store(true);
    m_event.SetEvent();
    VarnoBase::JoinThread(*this);
}

void ThumbCleanerThread::run()
{
    const VarnoBase::ThreadEndHandOff end(this);
    if (m_event.Wait(static_cast<unsigned long>(std::max<std::int64_t>(0, m_delay.count()))) || m_stop.load())
        return;
    const QStringList files = m_manager.GetAllFiles(m_stop);
    QStringList missing;
    for (const QString& file : files) {
        if (m_stop.load())
            return;
        if (!QFileInfo::exists(file))
            missing.append(file);
    }
    m_manager.RemoveThumbs(missing, m_stop);
}

// ---------------------------------------------------------------------------------
// ThumbsManager

ThumbsManager::ThumbsManager(ThumbsDataBase* db, int workers, QObject* parent)
    : QObject(parent),
      m_db(db ? db : &GetThumbsDataBase()),
      m_patterns{QStringLiteral("*.jpg"), QStringLiteral("*.bmp"), QStringLiteral("*.png"),
                 QStringLiteral("*.tif")},
      m_builder(*this, workers),
      m_cleaner(*this, std::chrono::seconds(60))
{
}

ThumbsManager::~ThumbsManager()
{
    shutdown();
}

void ThumbsManager::Init(std::chrono::milliseconds cleanerDelay)
{
    if (QImageReader::allocationLimit() > 0 && QImageReader::allocationLimit() < kAllocationLimitMb)
        QImageReader::setAllocationLimit(kAllocationLimitMb);
    if (m_builder.isRunning() || m_builder.exit())
        return;
    m_cleaner.setDelay(cleanerDelay);
    m_builder.startWorkers(QThread::LowPriority);
    m_cleaner.start(QThread::IdlePriority);
}

void ThumbsManager::shutdown()
{
    m_cleaner.stop();
    m_builder.stop();
}

void ThumbsManager::BuildThumbInThread(const QString& path)
{
    m_builder.addFile(path);
}

void ThumbsManager::BuildThumbsInThread(const QStringList& paths)
{
    m_builder.addFilesList(paths);
}

ThumbsManager::BuildResult ThumbsManager::BuildThumb(const QString& path)
{
    const QFileInfo info(path);
    if (!info.isFile())
        return BuildResult::NotAFile;
    const QDateTime lastModified = info.lastModified();
    const std::int64_t modified = lastModified.toSecsSinceEpoch();
    const FileStamp stamp{info.size(), lastModified.toMSecsSinceEpoch()};
    {
        // A thumbnail kept from an earlier build: offer it to the database again once its
        // folder was shown again. No other worker builds this path meanwhile, so the entry
        // stays ours.
        std::unique_lock lock(m_keptMutex);
        if (Kept* kept = m_kept.object(path)) {
            if (kept->stamp == stamp) {
                if (!kept->retry)
                    return BuildResult::StillKept;
                kept->retry = false;
                const ThumbSource source = kept->source;
                lock.unlock();
                const bool stored = store(path, modified, source);
                lock.lock();
                if (!stored)
                    return BuildResult::StillKept;
                m_kept.remove(path);
                return BuildResult::Stored;
            }
            m_kept.remove(path);  // the file changed: built afresh
        }
    }
    const std::optional<std::int64_t> cached = m_db->GetThumbSecs(path);
    if (cached && *cached == modified)
        return BuildResult::Current;

    ThumbSource source;
    if (!LoadThumbSource(path, true, source))
        return BuildResult::NotAnImage;
    const bool stored = store(path, modified, source);
    {
        std::lock_guard lock(m_keptMutex);
        if (!stored) {
            const qsizetype costKb = source.thumb.sizeInBytes() / 1024 + 1;
            m_kept.insert(path, new Kept{stamp, std::move(source)}, costKb);
        }
    }
    emit thumbnailUpdated(path);
    return stored ? BuildResult::Stored : BuildResult::Kept;
}

bool ThumbsManager::store(const QString& path, std::int64_t modified, const ThumbSource& source)
{
    const QImage& thumb = source.thumb;
    return m_db->SetThumb(path, QDateTime::fromSecsSinceEpoch(modified, Qt::UTC), source.photoSize.width(),
                          source.photoSize.height(), source.photoDepth, thumb.width(), thumb.height(),
                          int(thumb.bytesPerLine()), thumb.constBits());
}

void ThumbsManager::RetryRefusedIn(const QString& folder)
{
    const QString shown = QDir(folder).absolutePath();
    std::lock_guard lock(m_keptMutex);
    for (const QString& path : m_kept.keys()) {
        if (QFileInfo(path).absolutePath() == shown)
            m_kept.object(path)->retry = true;
    }
}

QImage ThumbsManager::GetThumbImage(const QString& path)
{
    {
        std::lock_guard lock(m_keptMutex);
        if (const Kept* kept = m_kept.object(path))
            return kept->source.thumb;
    }
    return m_db->GetThumbImage(path);
}

QStringList ThumbsManager::GetAllFiles(const std::atomic<bool>& stop)
{
    return m_db->GetAllFiles(stop);
}

void ThumbsManager::RemoveThumbs(const QStringList& paths, const std::atomic<bool>& stop)
{
    m_db->RemoveThumbs(paths, stop);
}

bool ThumbsManager::GetImageParams(const QString& path, int& width, int& height, int& bpp)
{
    {
        std::lock_guard lock(m_keptMutex);
        if (const Kept* kept = m_kept.object(path)) {
            width = kept->source.photoSize.width();
            height = kept->source.photoSize.height();
            bpp = kept->source.photoDepth;
            return width != 0 && height != 0 && bpp != 0;
        }
    }
    width = m_db->GetImgWidth(path);
    if (width == 0)
        return false;
    height = m_db->GetImgHeight(path);
    if (height == 0)
        return false;
    bpp = m_db->GetImgBpp(path);
    return bpp != 0;
}

ThumbsManager& GetThumbsManager()
{
    static ThumbsManager instance;
    return instance;
}
