// The background update check: one VnAutoUpdate asks the update server once whether a
// newer version is offered, when the schedule in the settings store says a check is due
// or when the user asked. vnVersion turns the application's version text into numbers.
//
// The conversation: GET the indirection page of the endpoint, whose body is the address
// of the check script; GET that address with a query naming the product and its version;
// read the tag-style answer ("<status>1</status>", "<key value/>") into the public fields,
// write the schedule back and emit processUpdate. Any HTTP status outside 2xx, a network
// error, an answer over kMaxAnswerBytes, an empty page or answer is a failed check: nothing
// is written and nothing is emitted, also for a check the user asked for; m_error tells
// that it failed.
//
// Threads: the object, its QNetworkAccessManager and every reply live on the GUI thread;
// the worker (VnAutoUpdateThread) reads and writes the settings, posts each request to
// the GUI thread as a queued call and sleeps on m_event until the GUI thread has the
// reply. The GUI thread hands the worker its results (bodies, m_error) before it signals
// the event, so the event's lock orders them. processUpdate is emitted on the worker
// thread: connect it queued. Destruction sets the atomic abort flag and the event; the
// worker tests the flag after every wait and before every request, so the destructor's
// join returns promptly even while a request hangs.
//
// Ownership: the object owns its worker thread and network manager; the caller owns the
// object (the main window makes it a child). One check per object.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

#include <QByteArray>
#include <QDate>
#include <QObject>
#include <QString>
#include <QThread>
#include <QUrl>

#include "browser/vn_event.h"
#include "core/thread_handoff.h"
#include "update/settings_store.h"  // the schedule's group "xvalues"

class QNetworkAccessManager;
class QNetworkReply;
class VnAutoUpdate;

// The application version (QCoreApplication::applicationVersion, "2.1.0.1705" or
// "2.1.0.1705 BETA") as four numbers and a beta flag.
class vnVersion {
public:
    // v[0]..v[3] from the dotted part before the first blank; text that is no number gives 0.
    static void getVersion(int* v);
    // True when the version text contains "BETA" in any case.
    static bool isBeta();
};

// The update server's host name and the full address of its indirection page. The host
// is a placeholder under the reserved ".example" top-level domain: it never resolves, so
// a production check fails (silently at start-up) until a real server is configured.
extern const char* const updateServer;
extern const char* const updatePage;

// Where a checker sends its first request: scheme http, host, port, path of the page.
struct UpdateEndpoint {
    QString host = QString::fromLatin1(updateServer);
    int port = 80;
    QString page = QStringLiteral("/checkupdate/updateurl.html");

    QUrl pageUrl() const;
};

class VnAutoUpdateThread : public QThread {
public:
    explicit VnAutoUpdateThread(VnAutoUpdate* owner) : m_owner(owner) {}
    ~VnAutoUpdateThread() override { VarnoBase::JoinThread(*this); }

protected:
    void run() override;

private:
    VnAutoUpdate* m_owner;
};

class VnAutoUpdate : public QObject {
    Q_OBJECT

public:
    // Today's date; the worker asks it once per check.
    using Clock = std::function<QDate()>;
    // Bodies above this size are refused (the answers are a few hundred bytes).
    static constexpr qint64 kMaxAnswerBytes = 64 * 1024;

    explicit VnAutoUpdate(QObject* parent, UpdateEndpoint endpoint = UpdateEndpoint(), Clock today = {});
    ~VnAutoUpdate() override;

    // Starts the worker; call once, after connecting processUpdate. Always true.
    bool checkUpdate(bool manual);
    // True while the worker runs (GUI thread; for callers that wait for the end).
    bool isRunning() const;

    // The query of the check script, already percent-encoded: "?productname=...&version=
    // a,b,c,d&user= &subversion=MAC&reserved= " with '&', '?' and '=' kept.
    static QByteArray updateQuery();
    // The value of `key` in a tag-style answer (case-insensitive): "<key>v</key>" gives
    // "v", "<key v/>" gives " v"; absent or empty gives an empty string.
    static QString getValue(const QString& text, const QString& key);

    // The answer, valid in the GUI thread once processUpdate has arrived (a receiver first
    // calls VarnoBase::TakeOver(checker): the worker hands it off through Qt's event queue,
    // which ThreadSanitizer cannot see) or once isRunning() has turned false.
    int status = 0;  // 0 no update, 1 update available, 2 critical update
    QString message40;
    QString message80;
    QString message250;  // the message the dialog shows
    QString updateurl;
    QString moreinfourl;
    int nextcheckindays = 0;

    bool m_manual = false;  // set before the worker starts
    // 0 after a check that ended well; 1 when the indirection page could not be fetched;
    // 2 for any other failure, an empty script address or an empty answer.
    std::atomic<int> m_error{1};

signals:
    // Emitted on the worker thread after an answer was parsed.
    void processUpdate(VnAutoUpdate* autoupdate);
    // Worker thread: a request waits to be sent (connected queued to sendQueuedRequest).
    // A signal rather than a queued invokeMethod: its slot object is made once, here in
    // the GUI thread, not per request on the worker.
    void requestQueued(QPrivateSignal);

public slots:
    // GUI thread: request `id` (1 the indirection page, 2 the script) has ended.
    void OnRequestFinished(int id, bool error);

private:
    friend class VnAutoUpdateThread;

    // Worker thread.
    bool checkUpdateInternal();
    bool checkUpdate(QString& url);
    QString getValue(const QString& key) const { return getValue(m_answerText, key); }
    void ParseAnswer();
    // Posts a GET of `url` to the GUI thread; false when aborted (nothing is sent).
    bool queueRequest(int id, const QUrl& url);
    // Sleeps until the GUI thread signals; false when the checker is being destroyed.
    bool waitForRequest();
    bool aborted() const { return m_abort.load(std::memory_order_acquire); }

    // GUI thread.
    void sendQueuedRequest();

    UpdateEndpoint m_endpoint;
    Clock m_today;
    QNetworkAccessManager* m_connection;     // the HTTP connection; child of this
    std::unique_ptr<VnAutoUpdateThread> m_thread;
    VnEvent m_event;
    std::atomic<bool> m_abort{false};

    std::mutex m_requestLock;  // the request the worker hands to the GUI thread
    int m_requestId = 0;
    QUrl m_requestUrl;

    // Written by the GUI thread before it signals m_event, read by the worker after.
    QByteArray m_page;    // body of request 1
    QByteArray m_answer;  // body of request 2
    QString m_answerText; // worker only
};
