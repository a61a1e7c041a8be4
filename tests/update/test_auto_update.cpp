// The update check: version numbers, the query, the tag parser, the schedule with an
// injected clock, and whole checks against a real HTTP server on 127.0.0.1 — success,
// every kind of failure, and destruction while a request hangs. Settings are the test
// program's private ones, cleared before each case.
#include <QCoreApplication>
#include <QSettings>
#include <QTest>

#include <gtest/gtest.h>

#include "tests/update/http_test_server.h"
#include "update/auto_update.h"

namespace {

const QDate kToday(2026, 3, 10);
const QString kPage = QStringLiteral("/checkupdate/updateurl.html");

std::unique_ptr<QSettings> schedule()
{
    auto s = std::make_unique<QSettings>(QString::fromLatin1(kSettingsOrganization),
                                         QString::fromLatin1(kSettingsApplication));
    s->beginGroup(QStringLiteral("xvalues"));
    return s;
}

// Sets the application version for one case and restores it afterwards.
struct AppVersion {
    QString previous = QCoreApplication::applicationVersion();
    explicit AppVersion(const QString& v) { QCoreApplication::setApplicationVersion(v); }
    ~AppVersion() { QCoreApplication::setApplicationVersion(previous); }
};

class AutoUpdateServer : public ::testing::Test {
protected:
    HttpTestServer server;
    AppVersion version{QStringLiteral("2.1.0.1705")};
    QString previousName = QCoreApplication::applicationName();

    void SetUp() override
    {
        QCoreApplication::setApplicationName(QStringLiteral("VARNO Vistaloom"));
        schedule()->remove(QString());
    }
    void TearDown() override
    {
        schedule()->remove(QString());
        QCoreApplication::setApplicationName(previousName);
    }

    void setSchedule(const QString& date, int days)
    {
        auto s = schedule();
        s->setValue(QStringLiteral("XVALUE_T"), date);
        s->setValue(QStringLiteral("XVALUE_D"), days);
    }
    QString storedDate() { return schedule()->value(QStringLiteral("XVALUE_T")).toString(); }
    QVariant storedDays() { return schedule()->value(QStringLiteral("XVALUE_D")); }

    // A server whose page names its own script and whose script answers `answer`.
    void serveAnswer(const QByteArray& answer)
    {
        server.routes[kPage] = {200, (server.base() + QStringLiteral("/cgi/check.php\r\n")).toLatin1()};
        server.routes[QStringLiteral("/cgi/check.php")] = {200, answer};
    }

    struct Outcome {
        int emitted = 0;
        int error = -1;
        std::unique_ptr<VnAutoUpdate> checker;
    };
    // Runs one check to its end and delivers its queued answer.
    Outcome run(bool manual)
    {
        Outcome out;
        UpdateEndpoint endpoint{QStringLiteral("127.0.0.1"), server.port(), kPage};
        out.checker = std::make_unique<VnAutoUpdate>(nullptr, endpoint, [] { return kToday; });
        QObject receiver;
        QObject::connect(out.checker.get(), &VnAutoUpdate::processUpdate, &receiver,
                         [&out](VnAutoUpdate* c) { out.emitted += c == out.checker.get() ? 1 : 100; },
                         Qt::QueuedConnection);
        out.checker->checkUpdate(manual);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !out.checker->isRunning(); }, 30000));
        QCoreApplication::processEvents();
        out.error = out.checker->m_error.load();
        return out;
    }
};

}  // namespace

TEST(AutoUpdateVersion, NumbersAndBetaFromTheApplicationVersion)
{
    struct Case {
        const char* version;
        int v[4];
        bool beta;
    } cases[] = {
        {"2.1.0.1705", {2, 1, 0, 1705}, false},
        {"2.1.0.1705 BETA", {2, 1, 0, 1705}, true},
        {"3.0.2.9 beta 2", {3, 0, 2, 9}, true},
        {"2.x.0.7", {2, 0, 0, 7}, false},
        {"4.5", {4, 5, 0, 0}, false},
    };
    for (const Case& c : cases) {
        AppVersion use{QString::fromLatin1(c.version)};
        int v[4] = {-1, -1, -1, -1};
        vnVersion::getVersion(v);
        EXPECT_EQ(std::vector<int>(v, v + 4), std::vector<int>(c.v, c.v + 4)) << c.version;
        EXPECT_EQ(vnVersion::isBeta(), c.beta) << c.version;
    }
}

TEST(AutoUpdateQuery, NamesProductAndVersionPercentEncoded)
{
    AppVersion use{QStringLiteral("2.1.0.1705")};
    const QString name = QCoreApplication::applicationName();
    QCoreApplication::setApplicationName(QStringLiteral("VARNO Vistaloom"));
    EXPECT_EQ(VnAutoUpdate::updateQuery(),
              QByteArray("?productname=VARNO%20Vistaloom&version=2%2C1%2C0%2C1705&user=%20&subversion=MAC&reserved=%20"));
    QCoreApplication::setApplicationName(name);
}

TEST(AutoUpdateParse, TagValuesCaseInsensitive)
{
    const struct {
        const char* text;
        const char* key;
        const char* value;
    } cases[] = {
        {"<status>1</status>", "status", "1"},
        {"<STATUS>1</STATUS><message250>New</message250>", "status", "1"},
        {"<STATUS>1</STATUS><message250>New</message250>", "message250", "New"},
        {"<updateurl>x</updateurl>", "updateurl", "x"},
        {"<status 2/>", "status", " 2"},
        {"<status></status>", "status", ""},
        {"<status/>", "status", ""},
        {"no tags at all", "status", ""},
        {"<message40>a</message40>", "message250", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(VnAutoUpdate::getValue(QString::fromLatin1(c.text), QString::fromLatin1(c.key)),
                  QString::fromLatin1(c.value))
            << c.text << " / " << c.key;
}

TEST_F(AutoUpdateServer, ScheduleDecidesWhetherToAsk)
{
    serveAnswer("<status>0</status><nextcheckindays>7</nextcheckindays>");
    const QString today = kToday.toString(Qt::ISODate);
    const struct {
        const char* name;
        QString date;  // empty: first run
        int days;
        bool manual;
        bool asks;
    } cases[] = {
        {"first run, even manual", QString(), 0, true, false},
        {"checked today, start-up", today, 7, false, false},
        {"checked today, manual", today, 7, true, true},
        {"interval over", kToday.addDays(-7).toString(Qt::ISODate), 7, false, true},
        {"date in the future, manual", kToday.addDays(3).toString(Qt::ISODate), 7, true, false},
        {"unreadable date", QStringLiteral("10-03-26"), 7, false, true},
        {"damaged interval falls back to 7", kToday.addDays(-3).toString(Qt::ISODate), -5, false, false},
    };
    for (const auto& c : cases) {
        schedule()->remove(QString());
        if (!c.date.isEmpty())
            setSchedule(c.date, c.days);
        server.requests.clear();
        const Outcome out = run(c.manual);
        EXPECT_EQ(!server.requests.isEmpty(), c.asks) << c.name;
        EXPECT_EQ(out.emitted, c.asks ? 1 : 0) << c.name;
        if (c.date.isEmpty()) {
            EXPECT_EQ(storedDate(), today) << c.name;
            EXPECT_EQ(storedDays().toInt(), 7) << c.name;
        }
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
    EXPECT_EQ(out.error, 0);
    EXPECT_EQ(out.checker->status, 2);
    EXPECT_EQ(out.checker->message250, QStringLiteral("New & better"));
    EXPECT_EQ(out.checker->message40, QStringLiteral("n"));
    EXPECT_EQ(out.checker->message80, QString());
    EXPECT_EQ(out.checker->updateurl, QStringLiteral("http://example.invalid/get"));
    EXPECT_EQ(out.checker->moreinfourl, QStringLiteral("http://example.invalid/i"));
    EXPECT_EQ(storedDate(), kToday.toString(Qt::ISODate));
    EXPECT_EQ(storedDays().toInt(), 14);
    // The script sits on a port of its own, which the address carries; the line end of
    // the page is not part of it; the query arrives exactly as encoded.
    ASSERT_EQ(server.requests.size(), 2);
    EXPECT_EQ(server.requests[0], kPage);
    EXPECT_EQ(server.requests[1], QStringLiteral("/cgi/check.php") + QString::fromLatin1(VnAutoUpdate::updateQuery()));
}

TEST_F(AutoUpdateServer, AnswerWithoutIntervalOrTagsStoresZero)
{
    serveAnswer("just text");
    setSchedule(QStringLiteral("2026-01-01"), 7);
    const Outcome out = run(false);
    EXPECT_EQ(out.emitted, 1);
    EXPECT_EQ(out.checker->status, 0);
    EXPECT_EQ(out.checker->message250, QString());
    EXPECT_EQ(storedDate(), kToday.toString(Qt::ISODate));
    EXPECT_EQ(storedDays().toInt(), 0);
}

TEST_F(AutoUpdateServer, FailedChecksSignalAndWriteNothing)
{
    const QByteArray good = "<status>1</status><nextcheckindays>3</nextcheckindays>";
    const QString script = QStringLiteral("/cgi/check.php");
    QTcpServer closed;
    closed.listen(QHostAddress::LocalHost, 0);
    const quint16 closedPort = closed.serverPort();
    closed.close();  // nothing listens there now: the connection is refused
    const struct {
        const char* name;
        HttpTestServer::Reply page;
        HttpTestServer::Reply answer;
        int error;
    } cases[] = {
        {"page 404", {404, "http://127.0.0.1/cgi/check.php"}, {200, good}, 1},
        {"page 500", {500, "oops"}, {200, good}, 1},
        {"empty page", {200, ""}, {200, good}, 2},
        {"whitespace-only page", {200, " \r\n \n"}, {200, good}, 2},
        {"script 404", {200, "SCRIPT"}, {404, good}, 2},
        {"script 500", {200, "SCRIPT"}, {500, good}, 2},
        {"empty answer", {200, "SCRIPT"}, {200, ""}, 2},
        {"oversized answer", {200, "SCRIPT"}, {200, good + QByteArray(VnAutoUpdate::kMaxAnswerBytes, ' ')}, 2},
        {"script refused", {200, QStringLiteral("http://127.0.0.1:%1/x").arg(closedPort).toLatin1()}, {200, good}, 2},
        {"script not on the web", {200, "file:///etc/hosts"}, {200, good}, 2},
        {"script address not absolute", {200, "/cgi/check.php"}, {200, good}, 2},
    };
    for (const auto& c : cases) {
        server.routes[kPage] = c.page;
        server.routes[kPage].body.replace("SCRIPT", (server.base() + script).toLatin1());
        server.routes[script] = c.answer;
        setSchedule(QStringLiteral("2026-01-01"), 5);
        const Outcome out = run(true);
        EXPECT_EQ(out.emitted, 0) << c.name;
        EXPECT_EQ(out.error, c.error) << c.name;
        EXPECT_EQ(storedDate(), QStringLiteral("2026-01-01")) << c.name;
        EXPECT_EQ(storedDays().toInt(), 5) << c.name;
    }
}

TEST_F(AutoUpdateServer, RefusedPageSignalsAndWritesNothing)
{
    QTcpServer closed;
    closed.listen(QHostAddress::LocalHost, 0);
    UpdateEndpoint endpoint{QStringLiteral("127.0.0.1"), closed.serverPort(), kPage};
    closed.close();
    setSchedule(QStringLiteral("2026-01-01"), 5);
    VnAutoUpdate checker(nullptr, endpoint, [] { return kToday; });
    int emitted = 0;
    QObject receiver;
    QObject::connect(&checker, &VnAutoUpdate::processUpdate, &receiver, [&] { ++emitted; }, Qt::QueuedConnection);
    checker.checkUpdate(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !checker.isRunning(); }, 30000));
    QCoreApplication::processEvents();
    EXPECT_EQ(emitted, 0);
    EXPECT_EQ(checker.m_error.load(), 1);
    EXPECT_EQ(storedDate(), QStringLiteral("2026-01-01"));
}

TEST_F(AutoUpdateServer, DestroyedWhileTheServerNeverAnswersReturns)
{
    for (const bool hangOnScript : {false, true}) {
        server.requests.clear();
        serveAnswer("<status>1</status>");
        server.routes[hangOnScript ? QStringLiteral("/cgi/check.php") : kPage].hang = true;
        setSchedule(QStringLiteral("2026-01-01"), 5);
        int emitted = 0;
        QObject receiver;
        {
            UpdateEndpoint endpoint{QStringLiteral("127.0.0.1"), server.port(), kPage};
            VnAutoUpdate checker(nullptr, endpoint, [] { return kToday; });
            QObject::connect(&checker, &VnAutoUpdate::processUpdate, &receiver, [&] { ++emitted; },
                             Qt::QueuedConnection);
            checker.checkUpdate(true);
            const int expected = hangOnScript ? 2 : 1;
            ASSERT_TRUE(QTest::qWaitFor([&] { return server.requests.size() == expected; }, 30000));
            EXPECT_TRUE(checker.isRunning());
        }  // the destructor must return although the worker is still waiting
        QCoreApplication::processEvents();
        EXPECT_EQ(emitted, 0);
        EXPECT_EQ(storedDate(), QStringLiteral("2026-01-01"));
    }
}
