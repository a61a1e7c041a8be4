// The update check's worker steps (schedule, two requests, parsing) and the GUI thread's
// side of each request. Which thread runs what is marked on every function; the header
// explains how the two meet. Dates are calendar days of the local clock.
#include "update/auto_update.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSettings>

#include <memory>

Q_LOGGING_CATEGORY(lcUpdate, "vistaloom.update")

const char* const updateServer = "update.varno-imaging.example";
const char* const updatePage = "http://update.varno-imaging.example/checkupdate/updateurl.html";

namespace {

constexpr int kDefaultInterval = 7;
// A stored interval beyond this is damaged; the default applies.
constexpr int kMaxInterval = 3650;

bool isWebScheme(const QUrl& url)
{
    const QString scheme = url.scheme().toLower();
    return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

}  // namespace

// ---- vnVersion -------------------------------------------------------------------------

void vnVersion::getVersion(int* v)
{
    const QString s = QCoreApplication::applicationVersion();
    const int i1 = s.indexOf(QLatin1Char('.'));
    const int i2 = i1 < 0 ? -1 : s.indexOf(QLatin1Char('.'), i1 + 1);
    const int i3 = i2 < 0 ? -1 : s.indexOf(QLatin1Char('.'), i2 + 1);
    int i4 = i3 < 0 ? -1 : s.indexOf(QLatin1Char(' '), i3 + 1);
    if (i4 < 0)
        i4 = s.size();
    // A version with fewer than four parts gives 0 for the missing ones.
    const QString parts[4] = {
        i1 < 0 ? s : s.left(i1),
        i1 < 0 ? QString() : s.mid(i1 + 1, (i2 < 0 ? s.size() : i2) - i1 - 1),
        i2 < 0 ? QString() : s.mid(i2 + 1, (i3 < 0 ? s.size() : i3) - i2 - 1),
        i3 < 0 ? QString() : s.mid(i3 + 1, i4 - i3 - 1),
    };
    for (int k = 0; k < 4; ++k) {
        qCDebug(lcUpdate).noquote() << QStringLiteral("v[%1] ").arg(k) + parts[k];
        v[k] = parts[k].toInt(nullptr, 10);
    }
}

bool vnVersion::isBeta()
{
    return QCoreApplication::applicationVersion().contains(QLatin1String("BETA"), Qt::CaseInsensitive);
}

QUrl UpdateEndpoint::pageUrl() const
{
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(host);
    url.setPort(port);
    url.setPath(page);
    return url;
}

// ---- VnAutoUpdate: life ----------------------------------------------------------------

void VnAutoUpdateThread::run()
{
    const VarnoBase::ThreadEndHandOff end(this);
    m_owner->checkUpdateInternal();
}

VnAutoUpdate::VnAutoUpdate(QObject* parent, UpdateEndpoint endpoint, Clock today)
    : QObject(parent),
      m_endpoint(std::move(endpoint)),
      m_today(today ? std::move(today) : Clock([] { return QDate::currentDate(); })),
      m_connection(new QNetworkAccessManager(this)),
      m_thread(std::make_unique<VnAutoUpdateThread>(this))
{
    connect(this, &VnAutoUpdate::requestQueued, this, &VnAutoUpdate::sendQueuedRequest, Qt::QueuedConnection);
}

VnAutoUpdate::~VnAutoUpdate()
{
    if (m_thread && m_thread->isRunning()) {
        m_error.store(2);
        m_abort.store(true, std::memory_order_release);
        m_event.SetEvent();
    }
    m_thread.reset();  // joins the worker before the network manager and the buffers go
}

bool VnAutoUpdate::checkUpdate(bool manual)
{
    m_manual = manual;
    m_thread->start(QThread::HighPriority);
    return true;
}

bool VnAutoUpdate::isRunning() const
{
    if (m_thread->isRunning())
        return true;
    // Ended: what the worker wrote is the caller's to read.
    VarnoBase::TakeOver(m_thread.get());
    return false;
}

// ---- Worker thread ---------------------------------------------------------------------

bool VnAutoUpdate::checkUpdateInternal()
{
    const QDate today = m_today();
    qCDebug(lcUpdate).noquote() << "Cur time" << today.toString(QStringLiteral("dd-MM-yy"));

    SettingsStore settings;
    settings.beginGroup(QStringLiteral("xvalues"));
    const QString last = settings.value(QStringLiteral("XVALUE_T")).toString();
    if (last.isEmpty()) {  // first run: start the schedule, ask nothing
        settings.setValue(QStringLiteral("XVALUE_T"), today.toString(Qt::ISODate));
        settings.setValue(QStringLiteral("XVALUE_D"), kDefaultInterval);
        return false;
    }
    bool ok = false;
    int interval = settings.value(QStringLiteral("XVALUE_D"), kDefaultInterval).toInt(&ok);
    if (!ok || interval < 0 || interval > kMaxInterval)
        interval = kDefaultInterval;
    if (m_manual)
        interval = 0;
    const QDate lastDate = QDate::fromString(last, Qt::ISODate);
    if (lastDate.isValid() && lastDate.addDays(interval) > today)
        return false;  // not due; an unreadable date counts as long past

    bool sent = false;
    if (queueRequest(1, m_endpoint.pageUrl()) && waitForRequest() && m_error.load() == 0) {
        QString url = QString::fromUtf8(m_page);
        url.remove(QLatin1Char(' ')).remove(QLatin1Char('\n')).remove(QLatin1Char('\r'));
        qCDebug(lcUpdate).noquote() << "Update url" << url;
        m_error.store(2);  // until the script has answered
        if (!url.isEmpty() && checkUpdate(url)) {
            sent = true;
            if (waitForRequest() && m_error.load() == 0)
                ParseAnswer();
        }
    }
    if (aborted())
        return sent;
    if (m_error.load() == 0) {
        settings.setValue(QStringLiteral("XVALUE_T"), today.toString(Qt::ISODate));
        settings.setValue(QStringLiteral("XVALUE_D"), nextcheckindays);
    }
    return sent;
}

QByteArray VnAutoUpdate::updateQuery()
{
    int v[4] = {};
    vnVersion::getVersion(v);
    const QString version = QStringLiteral("%1,%2,%3,%4").arg(v[0]).arg(v[1]).arg(v[2]).arg(v[3]);
    const QString query = QStringLiteral("?productname=") + QCoreApplication::applicationName() +
                          QStringLiteral("&version=") + version +
                          QStringLiteral("&user= &subversion=MAC&reserved= ");
    return QUrl::toPercentEncoding(query, "&?=");
}

bool VnAutoUpdate::checkUpdate(QString& url)
{
    QString full = url + QString::fromLatin1(updateQuery());
    full.remove(QLatin1Char('\n')).remove(QLatin1Char('\r'));
    // The script may live on any web host, port or scheme the page names; anything that is
    // not an absolute http(s) address is a failed check.
    const QUrl target(full, QUrl::StrictMode);
    qCDebug(lcUpdate).noquote() << "Host" << target.host();
    if (!target.isValid() || !isWebScheme(target) || target.host().isEmpty())
        return false;
    qCDebug(lcUpdate).noquote() << "Get" << full;
    return queueRequest(2, target);
}

void VnAutoUpdate::ParseAnswer()
{
    m_answerText = QString::fromUtf8(m_answer);
    qCDebug(lcUpdate).noquote() << "Final ret" << m_answerText;
    if (m_answerText.isEmpty()) {
        m_error.store(2);
        return;
    }
    QString v = getValue(QStringLiteral("status"));
    if (!v.isEmpty())
        status = v.toInt();
    message40 = getValue(QStringLiteral("message40"));
    message80 = getValue(QStringLiteral("message80"));
    message250 = getValue(QStringLiteral("message250"));
    updateurl = getValue(QStringLiteral("updateurl"));
    moreinfourl = getValue(QStringLiteral("moreinfourl"));
    v = getValue(QStringLiteral("nextcheckindays"));
    if (!v.isEmpty())
        nextcheckindays = v.toInt();
    if (!aborted()) {
        // The answer travels to the receivers' thread through Qt's event queue.
        VarnoBase::HandOff(this);
        emit processUpdate(this);
    }
}

QString VnAutoUpdate::getValue(const QString& text, const QString& key)
{
    const QString open = QLatin1Char('<') + key;
    const int p = text.indexOf(open, 0, Qt::CaseInsensitive);
    if (p < 0)
        return {};
    QString value;
    const int e = text.indexOf(QStringLiteral("</") + key + QLatin1Char('>'), p, Qt::CaseInsensitive);
    const int g = text.indexOf(QLatin1Char('>'), p);
    if (e >= 0 && e - g - 1 > 0) {
        value = text.mid(g + 1, e - g - 1);
    } else {
        const int s = text.indexOf(QLatin1String("/>"), p);
        const int n = s - p - int(open.size());
        if (s >= 0 && n > 0)
            value = text.mid(p + open.size(), n);
    }
    if (!value.isEmpty())
        qCDebug(lcUpdate).noquote() << key + QLatin1Char('=') + value;
    return value;
}

bool VnAutoUpdate::queueRequest(int id, const QUrl& url)
{
    if (aborted())
        return false;
    {
        std::lock_guard<std::mutex> lock(m_requestLock);
        m_requestId = id;
        m_requestUrl = url;
    }
    emit requestQueued(QPrivateSignal());
    return true;
}

bool VnAutoUpdate::waitForRequest()
{
    if (aborted())
        return false;
    m_event.Wait();
    return !aborted();
}

// ---- GUI thread ------------------------------------------------------------------------

void VnAutoUpdate::sendQueuedRequest()
{
    int id = 0;
    QUrl url;
    {
        std::lock_guard<std::mutex> lock(m_requestLock);
        id = m_requestId;
        url = m_requestUrl;
    }
    if (aborted())
        return;
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    QNetworkReply* reply = m_connection->get(request);
    auto body = std::make_shared<QByteArray>();
    auto tooLarge = std::make_shared<bool>(false);
    // Read as it arrives so an endless or huge body is cut off at the cap.
    connect(reply, &QNetworkReply::readyRead, this, [reply, body, tooLarge] {
        if (*tooLarge)
            return;
        if (body->size() + reply->bytesAvailable() > kMaxAnswerBytes) {
            *tooLarge = true;
            reply->abort();
            return;
        }
        body->append(reply->readAll());
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply, body, tooLarge, id] {
        reply->deleteLater();
        if (!*tooLarge && reply->isOpen())
            body->append(reply->readAll());
        const int httpStatus = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const bool failed = reply->error() != QNetworkReply::NoError || *tooLarge ||
                            body->size() > kMaxAnswerBytes || httpStatus < 200 || httpStatus > 299;
        if (failed) {
            qCDebug(lcUpdate).noquote() << "Request" << id << "failed:" << httpStatus << reply->errorString();
        } else {
            (id == 1 ? m_page : m_answer) = *body;
        }
        OnRequestFinished(id, failed);
    });
}

void VnAutoUpdate::OnRequestFinished(int id, bool error)
{
    m_error.store(error ? (id == 1 ? 1 : 2) : 0);
    m_event.SetEvent();
}
