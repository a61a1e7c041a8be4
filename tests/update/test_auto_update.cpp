// The update check: version numbers, the query, the tag parser, the schedule with an
// injected clock, and whole checks against a real HTTP server on 127.0.0.1 — success,
// every kind of failure, and destruction while a request hangs. Settings are the test
// program's private ones, cleared before each case.
#include <QCoreApplication>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include "tests/update/http_test_server.h"
#include "update/auto_update.h"

namespace {

const QDate kToday(2026, 3, 10);
const QString kPage = QStringLiteral("/checkupdate/updateurl.html");
const QString kScript = QStringLiteral("/cgi/check.php");

QSettings settings()
{
    return QSettings(QString::fromLatin1(kSettingsOrganization), QString::fromLatin1(kSettingsApplication));
}
QVariant stored(const char* key) { return settings().value(QStringLiteral("xvalues/") + QLatin1String(key)); }

void setSchedule(const QString& date, int days)
{
    QSettings s = settings();
    s.remove(QStringLiteral("xvalues"));
    if (!date.isEmpty()) {
        s.setValue(QStringLiteral("xvalues/XVALUE_T"), date);
        s.setValue(QStringLiteral("xvalues/XVALUE_D"), days);
    }
}

// The application's name and version for one test, restored afterwards.
struct AppIdentity {
    QString name = QCoreApplication::applicationName(), version = QCoreApplication::applicationVersion();
    explicit AppIdentity(const char* v)
    {
        QCoreApplication::setApplicationName(QStringLiteral("VARNO Vistaloom"));
        QCoreApplication::setApplicationVersion(QString::fromLatin1(v));
    }
    ~AppIdentity()
    {
        QCoreApplication::setApplicationName(name);
        QCoreApplication::setApplicationVersion(version);
    }
};

class AutoUpdateServer : public ::testing::Test {
protected:
    HttpTestServer server;
    AppIdentity app{"2.1.0.1705"};

    void TearDown() override { setSchedule({}, 0); }

    // A page naming the server's own script amid blanks and line ends, as a hand-edited
    // page has them, the script answering `answer`.
    void serveAnswer(const QByteArray& answer)
    {
        server.routes[kPage] = {200, ("  " + server.base() + kScript + " \r\n \r\n").toLatin1()};
        server.routes[kScript] = {200, answer};
    }

    struct Outcome {
        int emitted = 0;  // processUpdate
        std::unique_ptr<VnAutoUpdate> checker;
        QStringList fetched;  // every address the checker's connection fetched, in order
    };
    // Runs one check to its end and delivers its queued answer.
    Outcome run(bool manual, quint16 port = 0)
    {
        Outcome out;
        UpdateEndpoint endpoint{QStringLiteral("127.0.0.1"), port ? port : server.port(), kPage};
        out.checker = std::make_unique<VnAutoUpdate>(nullptr, endpoint, [] { return kToday; });
        QObject receiver;
        QObject::connect(out.checker->findChild<QNetworkAccessManager*>(), &QNetworkAccessManager::finished, &receiver,
                         [&out](QNetworkReply* reply) { out.fetched << reply->url().toString(); });
        QObject::connect(out.checker.get(), &VnAutoUpdate::processUpdate, &receiver,
                         [&out](VnAutoUpdate* c) { out.emitted += c == out.checker.get() ? 1 : 100; }, Qt::QueuedConnection);
        out.checker->checkUpdate(manual);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !out.checker->isRunning(); }, 30000));
        QCoreApplication::processEvents();
        return out;
    }
};

// A port on 127.0.0.1 where nothing listens: connections are refused.
quint16 closedPort()
{
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort();
}

}  // namespace

TEST(AutoUpdateVersion, NumbersAndBetaFromTheApplicationVersionAndTheQueryNamingThem)
{
    const struct {
        const char* version;
        std::vector<int> v;
        bool beta;
    } cases[] = {{"2.1.0.1705", {2, 1, 0, 1705}, false}, {"2.1.0.1705 BETA", {2, 1, 0, 1705}, true},
                 {"3.0.2.9 beta 2", {3, 0, 2, 9}, true},  {"2.x.0.7", {2, 0, 0, 7}, false},
                 {"4.5", {4, 5, 0, 0}, false}};
    for (const auto& c : cases) {
        AppIdentity use{c.version};
        std::vector<int> v(4, -1);
        vnVersion::getVersion(v.data());
        EXPECT_EQ(v, c.v) << c.version;
        EXPECT_EQ(vnVersion::isBeta(), c.beta) << c.version;
    }
    AppIdentity use{"2.1.0.1705"};  // product and version percent-encoded
    EXPECT_EQ(VnAutoUpdate::updateQuery(),
              QByteArray("?productname=VARNO%20Vistaloom&version=2%2C1%2C0%2C1705&user=%20&subversion=MAC&reserved=%20"));
}

TEST(AutoUpdateParse, TagValuesCaseInsensitive)
{
    const char* const cases[][3] = {
        {"<status>1</status>", "status", "1"},
        {"<STATUS>1</STATUS><message250>New</message250>", "status", "1"},
        {"<STATUS>1</STATUS><message250>New</message250>", "message250", "New"},
        {"<status 2/>", "status", " 2"},
        {"<status></status>", "status", ""},
        {"<status/>", "status", ""},
        {"no tags at all", "status", ""},
        {"<message40>a</message40>", "message250", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(VnAutoUpdate::getValue(QString::fromLatin1(c[0]), QString::fromLatin1(c[1])), QString::fromLatin1(c[2]))
            << c[0] << " / " << c[1];
}

TEST_F(AutoUpdateServer, ScheduleDecidesWhetherToAsk)
{
    serveAnswer("<status>0</status><nextcheckindays>7</nextcheckindays>");
    const QString today = kToday.toString(Qt::ISODate);
    const struct {
        const char* name;
        QString date;  // empty: first run
        int days;
        bool manual, asks;
    } cases[] = {
        {"first run, even manual", QString(), 0, true, false},
        {"checked today, start-up", today, 7, false, false},
        {"checked today, manual", today, 7, true, true},
        {"interval over", kToday.addDays(-7).toString(Qt::ISODate), 7, false, true},
        {"date in the future, manual", kToday.addDays(3).toString(Qt::ISODate), 7, true, false},
        {"unreadable date", QStringLiteral("10-03-26"), 7, false, true},
        {"damaged interval falls back to 7", kToday.addDays(-3).toString(Qt::ISODate), -5, false, false},
        {"longest interval holds", kToday.addDays(-3649).toString(Qt::ISODate), 3650, false, false},
        {"interval above the longest falls back to 7", kToday.addDays(-7).toString(Qt::ISODate), 3651, false, true},
    };
    for (const auto& c : cases) {
        setSchedule(c.date, c.days);
        server.requests.clear();
        const Outcome out = run(c.manual);
        EXPECT_EQ(std::pair(out.emitted, !server.requests.isEmpty()), std::pair(c.asks ? 1 : 0, c.asks))
            << c.name;
        if (c.date.isEmpty())
            EXPECT_EQ(std::pair(stored("XVALUE_T").toString(), stored("XVALUE_D").toInt()), std::pair(today, 7));
    }
}

TEST_F(AutoUpdateServer, AnswerIsParsedScheduleWrittenAndSignalledOnce)
{
    serveAnswer("<STATUS>2</STATUS><message250>New & better</message250><message40>n</message40>"
                "<updateurl>http://example.invalid/get</updateurl><moreinfourl>http://example.invalid/i"
                "</moreinfourl><nextcheckindays>14</nextcheckindays>");
    setSchedule(QStringLiteral("2026-01-01"), 7);
    const Outcome out = run(false);
    ASSERT_EQ(out.emitted, 1);
    const VnAutoUpdate& c = *out.checker;
    EXPECT_EQ(c.m_error.load(), 0);
    EXPECT_EQ(c.status, 2);
    EXPECT_EQ(QStringList({c.message250, c.message80, c.message40, c.updateurl, c.moreinfourl}),
              QStringList({"New & better", "", "n", "http://example.invalid/get", "http://example.invalid/i"}));
    EXPECT_EQ(std::pair(stored("XVALUE_T").toString(), stored("XVALUE_D").toInt()), std::pair(kToday.toString(Qt::ISODate), 14));
    // The script's own port is kept (the blanks and line ends around the address on the
    // page are not part of it), and the query arrives exactly as encoded.
    EXPECT_EQ(server.requests, QStringList({kPage, kScript + QString::fromLatin1(VnAutoUpdate::updateQuery())}));

    serveAnswer("just text");  // no tags: status 0, still an answer; no interval stores 0
    setSchedule(QStringLiteral("2026-01-01"), 7);
    const Outcome bare = run(false);
    EXPECT_EQ(std::tuple(bare.emitted, bare.checker->status, bare.checker->message250, stored("XVALUE_D").toInt()),
              std::tuple(1, 0, QString(), 0));
}

// A failed check raises nothing, also one the user asked for: no signal, no schedule.
TEST_F(AutoUpdateServer, FailedChecksEmitNothingAndWriteNothing)
{
    const QByteArray good = "<status>1</status><nextcheckindays>3</nextcheckindays>";
    const QByteArray refused = QStringLiteral("http://127.0.0.1:%1/x").arg(closedPort()).toLatin1();
    // A script address off the web is never fetched: a local file or a data address
    // holding a good answer would otherwise be read as one.
    QTemporaryDir dir;
    const QString local = dir.filePath("answer.txt");
    QFile file(local);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(good) == good.size());
    file.close();
    const QByteArray onFtp = "ftp" + (server.base() + kScript).toLatin1().mid(4);
    const struct {
        const char* name;
        HttpTestServer::Reply page, answer;
        int error;
        quint16 port = 0;  // of the page; 0: the test server
    } cases[] = {
        {"page refused", {200, "SCRIPT"}, {200, good}, 1, closedPort()},
        {"page 404", {404, "SCRIPT"}, {200, good}, 1},
        {"page 500", {500, "SCRIPT"}, {200, good}, 1},
        {"page not HTTP", {200, "SSH-2.0-OpenSSH\r\n\r\n", false, true}, {200, good}, 1},
        {"empty page", {200, ""}, {200, good}, 2},
        {"whitespace-only page", {200, " \r\n \n"}, {200, good}, 2},
        {"script 404", {200, "SCRIPT"}, {404, good}, 2},
        {"script 500", {200, "SCRIPT"}, {500, good}, 2},
        // A 3xx answer that is not followed (none to follow, or no address to follow) is
        // no answer: neither its status nor its body is taken.
        {"page 300", {300, "SCRIPT"}, {200, good}, 1},
        {"page 301 without Location", {301, "SCRIPT"}, {200, good}, 1},
        {"page 304", {304, "SCRIPT"}, {200, good}, 1},
        {"script 300", {200, "SCRIPT"}, {300, good}, 2},
        {"empty answer", {200, "SCRIPT"}, {200, ""}, 2},
        {"answer not HTTP", {200, "SCRIPT"}, {200, good, false, true}, 2},
        {"oversized answer", {200, "SCRIPT"}, {200, good + QByteArray(VnAutoUpdate::kMaxAnswerBytes, ' ')}, 2},
        {"script refused", {200, refused}, {200, good}, 2},
        {"script in a local file", {200, QUrl::fromLocalFile(local).toEncoded()}, {200, good}, 2},
        {"script as a data address", {200, "data:," + good}, {200, good}, 2},
        {"script on ftp", {200, onFtp}, {200, good}, 2},
        {"script address not absolute", {200, "/cgi/check.php"}, {200, good}, 2},
    };
    for (const auto& c : cases) {
        server.routes[kPage] = c.page;
        server.routes[kPage].body.replace("SCRIPT", (server.base() + kScript).toLatin1());
        server.routes[kScript] = c.answer;
        setSchedule(QStringLiteral("2026-01-01"), 5);
        const Outcome out = run(true, c.port);
        EXPECT_EQ(std::tuple(out.emitted, out.checker->m_error.load(), stored("XVALUE_T").toString().toStdString(),
                             stored("XVALUE_D").toInt()),
                  std::tuple(0, c.error, std::string("2026-01-01"), 5))
            << c.name;
        for (const QString& fetched : out.fetched)
            EXPECT_TRUE(fetched.startsWith("http://127.0.0.1:")) << c.name << ": " << fetched.toStdString();
    }
}

TEST_F(AutoUpdateServer, DestroyedWhileTheServerNeverAnswersReturns)
{
    for (const QString& hanging : {kPage, kScript}) {
        server.requests.clear();
        serveAnswer("<status>1</status>");
        server.routes[hanging].hang = true;
        setSchedule(QStringLiteral("2026-01-01"), 5);
        int emitted = 0;
        QObject receiver;
        {
            VnAutoUpdate checker(nullptr, {QStringLiteral("127.0.0.1"), server.port(), kPage}, [] { return kToday; });
            QObject::connect(&checker, &VnAutoUpdate::processUpdate, &receiver, [&] { ++emitted; }, Qt::QueuedConnection);
            checker.checkUpdate(true);
            const int expected = hanging == kPage ? 1 : 2;
            ASSERT_TRUE(QTest::qWaitFor([&] { return server.requests.size() == expected; }, 30000));
            EXPECT_TRUE(checker.isRunning());
        }  // the destructor must return although the worker is still waiting
        QCoreApplication::processEvents();
        EXPECT_EQ(std::pair(emitted, stored("XVALUE_T").toString()), std::pair(0, QStringLiteral("2026-01-01")));
    }
}
