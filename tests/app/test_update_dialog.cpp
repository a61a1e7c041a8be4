// The Help menu: the update dialog filled from a finished check, the window's reaction
// to each kind of answer, "Check for Updates..." against a real server on 127.0.0.1,
// the About box, the help pages and the home page. Every box and address goes through
// the scripted desktop.
#include <QCommandLinkButton>
#include <QDialogButtonBox>
#include <QFile>
#include <QLabel>
#include <QRegularExpression>
#include <QSettings>
#include <QTest>

#include "app/auto_update_message.h"
#include "tests/app/window_fixture.h"
#include "tests/update/http_test_server.h"
#include "update/auto_update.h"

namespace {

// A checker that never runs, holding the fields of a finished check.
std::unique_ptr<VnAutoUpdate> answer(int status, bool manual = false, int error = 0)
{
    auto c = std::make_unique<VnAutoUpdate>(nullptr);
    c->status = status;
    c->m_manual = manual;
    c->m_error = error;
    c->updateurl = QStringLiteral("https://example.invalid/download");
    return c;
}

template <class W>
W* part(QDialog& d, const char* name)
{
    return d.findChild<W*>(QLatin1String(name));
}

}  // namespace

TEST(UpdateDialog, TitleTextAndMoreInfoFromTheAnswer)
{
    const struct {
        int status;
        const char* m250;
        const char* m80;
        const char* more;
        const char* title;
        const char* text;
    } cases[] = {
        {1, "", "", "", "Update available", "No additional information available"},
        {2, "Fixes <b>crash</b>", "", "", "Critical update available", "Fixes <b>crash</b>"},
        {1, "", "Short text", "http://example.invalid/info", "Update available", "Short text"},
        {7, "x", "", "", "TextLabel", "x"},
    };
    for (const auto& c : cases) {
        auto checker = answer(c.status);
        checker->message250 = QString::fromLatin1(c.m250);
        checker->message80 = QString::fromLatin1(c.m80);
        checker->moreinfourl = QString::fromLatin1(c.more);
        AutoUpdateMessage dlg(checker.get());
        EXPECT_EQ(part<QLabel>(dlg, "labelTitle")->text(), QString::fromLatin1(c.title));
        EXPECT_EQ(part<QLabel>(dlg, "labelAdditional")->text(), QString::fromLatin1(c.text));
        EXPECT_EQ(part<QLabel>(dlg, "labelAdditional")->textFormat(), Qt::PlainText);  // the server's text is no markup
        EXPECT_EQ(part<QCommandLinkButton>(dlg, "commandLinkButton")->isHidden(), *c.more == 0) << c.status;
        EXPECT_FALSE(dlg.windowFlags() & Qt::WindowContextHelpButtonHint);
    }
}

TEST(UpdateDialog, MoreInfoOpensOnlyWebAddressesAndStaysOpen)
{
    ScriptedDesktop desk;
    Desktop::ScopedDesktop use(desk);
    for (const char* address : {"http://example.invalid/info", "HTTPS://example.invalid/i", "file:///etc/passwd",
                                "javascript:alert(1)", "example.invalid/info"}) {
        auto checker = answer(1);
        checker->moreinfourl = QString::fromLatin1(address);
        AutoUpdateMessage dlg(checker.get());
        dlg.show();
        desk.log.clear();
        part<QCommandLinkButton>(dlg, "commandLinkButton")->click();
        const bool web = QString::fromLatin1(address).startsWith(QLatin1String("http"), Qt::CaseInsensitive);
        ASSERT_EQ(desk.calls("openUrl").size(), web ? 1u : 0u) << address;
        EXPECT_TRUE(dlg.isVisible());
        EXPECT_EQ(dlg.result(), 0);
    }
}

TEST_F(WindowTest, UpdateAnswerReactionByStatusAndCheck)
{
    const struct {
        const char* name;
        int status;
        bool manual;
        int error;
        const char* shown;  // "", "information" or "execDialog"
    } cases[] = {
        {"failed check", 1, true, 2, ""},
        {"no update, manual", 0, true, 0, "information"},
        {"no update, at start-up", 0, false, 0, ""},
        {"update", 1, false, 0, "execDialog"},
        {"critical update", 2, true, 0, "execDialog"},
        {"unknown status", 5, true, 0, ""},
        {"negative status", -1, true, 0, ""},
    };
    for (const auto& c : cases) {
        desk.log.clear();
        auto checker = answer(c.status, c.manual, c.error);
        w->onProcessAutoUpdate(checker.get());
        ASSERT_EQ(desk.log.size(), *c.shown ? 1u : 0u) << c.name;
        if (*c.shown) {
            EXPECT_EQ(desk.log[0].kind, QString::fromLatin1(c.shown)) << c.name;
        }
    }
    desk.log.clear();
    w->onProcessAutoUpdate(answer(0, true).get());
    EXPECT_EQ(desk.log[0].title, w->windowTitle());
    EXPECT_EQ(desk.log[0].text, QStringLiteral("No updates available now"));
}

TEST_F(WindowTest, UpdateDialogOkOpensOnlyAWebUpdateAddress)
{
    const struct {
        const char* url;
        int result;
        bool opened;
    } cases[] = {
        {"https://example.invalid/download", QDialog::Accepted, true},
        {"https://example.invalid/download", QDialog::Rejected, false},
        {"file:///tmp/setup.sh", QDialog::Accepted, false},
        {"", QDialog::Accepted, false},
    };
    for (const auto& c : cases) {
        desk.log.clear();
        const int result = c.result;
        desk.dialogs.push_back([result](QDialog& d) {
            EXPECT_EQ(d.objectName(), QStringLiteral("AutoUpdateMessage"));
            return result;
        });
        auto checker = answer(1, false);
        checker->updateurl = QString::fromLatin1(c.url);
        w->onProcessAutoUpdate(checker.get());
        const auto opened = desk.calls("openUrl");
        ASSERT_EQ(opened.size(), c.opened ? 1u : 0u) << c.url;
        if (c.opened) {
            EXPECT_EQ(opened[0].text, QString::fromLatin1(c.url));
        }
    }
}

TEST_F(WindowTest, CheckForUpdatesAsksTheServerAndShowsTheOffer)
{
    HttpTestServer server;
    server.routes[QStringLiteral("/page")] = {200, (server.base() + QStringLiteral("/script")).toLatin1()};
    server.routes[QStringLiteral("/script")] = {200, "<status>1</status><updateurl>http://example.invalid/u</updateurl>"};
    QSettings settings(QString::fromLatin1(kSettingsOrganization), QString::fromLatin1(kSettingsApplication));
    settings.setValue(QStringLiteral("xvalues/XVALUE_T"), QDate::currentDate().toString(Qt::ISODate));
    settings.sync();
    w->setUpdateEndpoint({QStringLiteral("127.0.0.1"), server.port(), QStringLiteral("/page")});
    desk.dialogs.push_back([](QDialog&) { return int(QDialog::Accepted); });
    ui().actionCheck_for_Updates->trigger();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !desk.calls("openUrl").empty(); }, 30000));
    EXPECT_EQ(desk.calls("openUrl")[0].text, QStringLiteral("http://example.invalid/u"));
    EXPECT_EQ(server.requests.size(), 2);
}

TEST_F(WindowTest, AboutShowsTheVersionLine)
{
    const QString previous = QCoreApplication::applicationVersion();
    for (const char* version : {"2.1.0.1705", "2.1.0.1705 Beta"}) {
        QCoreApplication::setApplicationVersion(QString::fromLatin1(version));
        desk.log.clear();
        ui().actionAbout->trigger();
        const auto about = desk.calls("about");
        ASSERT_EQ(about.size(), 1u);
        EXPECT_EQ(about[0].title, QStringLiteral("About"));
        EXPECT_TRUE(about[0].text.contains(QStringLiteral("<h2>VARNO Vistaloom</h2>")));
        const bool beta = QString::fromLatin1(version).contains(QLatin1String("Beta"));
        EXPECT_TRUE(about[0].text.contains(beta ? QStringLiteral("<p>Version 2.1.0.1705 BETA</p>")
                                                : QStringLiteral("<p>Version 2.1.0.1705  </p>")))
            << about[0].text.toStdString();
        EXPECT_TRUE(about[0].text.contains(MainWindow::homePageAddress().toHtmlEscaped()));
    }
    QCoreApplication::setApplicationVersion(previous);
}

TEST_F(WindowTest, HelpTopicsOpensAnExistingPageAndHomePageTheWebSite)
{
    ui().actionHelp_topics->trigger();
    ui().actionHome_page->trigger();
    const auto opened = desk.calls("openUrl");
    ASSERT_EQ(opened.size(), 2u);
    const QUrl help(opened[0].text);
    EXPECT_EQ(help.scheme(), QStringLiteral("file"));
    EXPECT_TRUE(help.toLocalFile().endsWith(QLatin1String("/help/main_index.htm")));
    EXPECT_TRUE(QFileInfo::exists(help.toLocalFile())) << help.toLocalFile().toStdString();
    const QUrl home(opened[1].text);
    EXPECT_EQ(home.path(), QStringLiteral("/Vistaloom_Mac/"));
    EXPECT_EQ(home.query(), QStringLiteral("utm_source=product&utm_medium=panorama_mac&utm_term=&utm_campaign=menu_help"));
}

TEST(HelpPages, EveryLocalLinkLeadsToAPage)
{
    const QDir dir = MainWindow::directoryOf(QStringLiteral("help"));
    const QStringList pages = dir.entryList({QStringLiteral("*.htm")});
    ASSERT_GE(pages.size(), 6);
    const QRegularExpression link(QStringLiteral("href=\"([^\"#:]+)"));
    for (const QString& page : pages) {
        QFile f(dir.filePath(page));
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        const QString html = QString::fromUtf8(f.readAll());
        for (auto m = link.globalMatch(html); m.hasNext();) {
            const QString target = m.next().captured(1);
            EXPECT_TRUE(dir.exists(target)) << page.toStdString() << " -> " << target.toStdString();
        }
    }
}
