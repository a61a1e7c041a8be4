// The Help menu: the update dialog filled from a finished check, the window's reaction
// to each kind of answer, the About box, the help pages and the home page. Every box and
// address goes through the scripted desktop. ("Check for Updates..." against a real
// server on 127.0.0.1 is a step of the end-to-end walk in tests/e2e.)
#include <QCommandLinkButton>
#include <QTcpServer>
#include <QTest>
#include <QLabel>

#include "app/auto_update_message.h"
#include "tests/app/window_fixture.h"
#include "tests/update/http_test_server.h"
#include "update/auto_update.h"

namespace {

// A checker that never runs, holding the fields of a finished check.
std::unique_ptr<VnAutoUpdate> answer(int status, bool manual = false, int error = 0, const char* url = "")
{
    auto c = std::make_unique<VnAutoUpdate>(nullptr);
    c->status = status;
    c->m_manual = manual;
    c->m_error = error;
    c->updateurl = QString::fromLatin1(url);
    return c;
}

}  // namespace

TEST(UpdateDialog, TitleTextAndMoreInfoFromTheAnswer)
{
    ScriptedDesktop desk;
    Desktop::ScopedDesktop use(desk);
    const struct {
        int status;
        const char *m250, *m80, *more, *title, *text;
        bool opens;  // "More info" opens its address
    } cases[] = {
        {1, "", "", "", "Update available", "No additional information available", false},
        {2, "Fixes <b>crash</b>", "", "", "Critical update available", "Fixes <b>crash</b>", false},
        {1, "", "Short", "HTTPS://example.invalid/i", "Update available", "Short", true},
        {7, "x", "", "file:///etc/passwd", "TextLabel", "x", false},
        {1, "x", "", "javascript:alert(1)", "Update available", "x", false},
        {1, "x", "", "http://", "Update available", "x", false},  // web addresses without a host
        {1, "x", "", "https:///path", "Update available", "x", false},
        {1, "x", "", "http:foo", "Update available", "x", false},
    };
    for (const auto& c : cases) {
        auto checker = answer(c.status);
        checker->message250 = c.m250;
        checker->message80 = c.m80;
        checker->moreinfourl = c.more;
        AutoUpdateMessage dlg(checker.get());
        auto* text = dlg.findChild<QLabel*>("labelAdditional");
        auto* more = dlg.findChild<QCommandLinkButton*>("commandLinkButton");
        EXPECT_EQ(dlg.findChild<QLabel*>("labelTitle")->text(), c.title);
        EXPECT_EQ(text->text(), c.text);
        EXPECT_EQ(text->textFormat(), Qt::PlainText);  // the server's text is never markup
        EXPECT_EQ(more->isHidden(), *c.more == 0) << c.more;
        dlg.show();
        desk.log.clear();
        more->click();
        EXPECT_EQ(desk.calls("openUrl").size(), c.opens ? 1u : 0u) << c.more;
        EXPECT_TRUE(dlg.isVisible());
    }
}

TEST_F(WindowTest, UpdateAnswerReactionByStatusCheckAndButton)
{
    const struct {
        const char* name;
        int status;
        bool manual;
        int error;
        const char* shown;  // "", "information" or "execDialog"
        int button = QDialog::Rejected;
        const char* url = "https://example.invalid/download";
        bool opens = false;
    } cases[] = {
        {"failed check", 1, true, 2, ""},
        {"no update, manual", 0, true, 0, "information"},
        {"no update, at start-up", 0, false, 0, ""},
        {"update, cancelled", 1, false, 0, "execDialog"},
        {"critical update, OK", 2, true, 0, "execDialog", QDialog::Accepted, "https://example.invalid/d", true},
        {"update, OK, local file", 1, true, 0, "execDialog", QDialog::Accepted, "file:///tmp/setup.sh"},
        {"update, OK, no address", 1, true, 0, "execDialog", QDialog::Accepted, ""},
        {"update, OK, http without a host", 1, true, 0, "execDialog", QDialog::Accepted, "http://"},
        {"update, OK, https with an empty host", 1, true, 0, "execDialog", QDialog::Accepted, "https:///setup"},
        {"update, OK, http with a path only", 1, true, 0, "execDialog", QDialog::Accepted, "http:setup"},
        {"unknown status", 5, true, 0, ""},
        {"negative status", -1, true, 0, ""},
    };
    for (const auto& c : cases) {
        desk.log.clear();
        desk.dialogs.assign(1, [button = c.button](QDialog&) { return button; });
        w->onProcessAutoUpdate(answer(c.status, c.manual, c.error, c.url).get());
        ASSERT_EQ(desk.log.size(), (*c.shown ? 1u : 0u) + (c.opens ? 1u : 0u)) << c.name;
        if (!*c.shown)
            continue;
        EXPECT_EQ(desk.log[0].kind, c.shown) << c.name;
        EXPECT_EQ(desk.log[0].text, c.status == 0 ? "No updates available now" : "AutoUpdateMessage") << c.name;
        if (c.status == 0)
            EXPECT_EQ(desk.log[0].title, w->windowTitle());
        if (c.opens)
            EXPECT_EQ(desk.log[1].text, c.url);
    }
}

// The About box's version line; the help pages, found beside the program (the build
// tree), else in an installed program's share/vistaloom/ (the end-to-end walk runs from
// an install), else the answer is the program's folder; the home page.
TEST_F(WindowTest, AboutShowsTheVersionLineHelpTopicsAnExistingPageHomePageTheWebSite)
{
    const QString previous = QCoreApplication::applicationVersion();
    for (const char* version : {"2.1.0.1705", "2.1.0.1705 Beta"}) {
        QCoreApplication::setApplicationVersion(version);
        desk.log.clear();
        ui().actionAbout->trigger();
        const ScriptedDesktop::Call about = desk.calls("about").at(0);
        const char* line = QString(version).contains("Beta") ? "<p>Version 2.1.0.1705 BETA</p>" : "<p>Version 2.1.0.1705  </p>";
        EXPECT_EQ(std::tuple(about.title, about.text.startsWith("<h2>VARNO Vistaloom</h2>"), about.text.contains(line),
                             about.text.contains(MainWindow::homePageAddress().toHtmlEscaped())),
                  std::tuple(QString("About"), true, true, true));
    }
    QCoreApplication::setApplicationVersion(previous);

    // Without a browser neither command reports anything.
    desk.urlsOpen = false;
    desk.log.clear();
    ui().actionHelp_topics->trigger();
    ui().actionHome_page->trigger();
    const auto opened = desk.calls("openUrl");
    ASSERT_EQ(std::pair(opened.size(), desk.log.size()), std::pair(size_t(2), size_t(2)));
    const QUrl help(opened[0].text), home(opened[1].text);
    EXPECT_EQ(std::tuple(help.scheme(), help.toLocalFile().endsWith("/help/main_index.htm"), QFileInfo::exists(help.toLocalFile())),
              std::tuple(QString("file"), true, true)) << help.toLocalFile().toStdString();
    EXPECT_EQ(home.path() + '?' + home.query(), "/Vistaloom_Mac/?utm_source=product&utm_medium=panorama_mac&utm_term=&utm_campaign=menu_help");
    const QString exeDir = QCoreApplication::applicationDirPath();
    EXPECT_EQ(MainWindow::directoryOf("vl_no_such_folder").absolutePath(), QDir(exeDir).absolutePath());
}

// A failed check raises nothing, also one the user asked for, whatever went wrong; nor
// does an update address that no browser opens.
TEST_F(WindowTest, FailedUpdateCheckRaisesNothingAlsoForAManualOne)
{
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost, 0));
    w->setUpdateEndpoint({QStringLiteral("127.0.0.1"), closed.serverPort(), QStringLiteral("/checkupdate/updateurl.html")});
    closed.close();  // nothing listens there any more: the connection is refused
    const auto check = [&](bool manual) {
        desk.log.clear();
        SettingsStore().setValue("xvalues/XVALUE_T", "2020-01-01");  // due
        VnAutoUpdate* checker = w->startUpdateCheck(manual);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !checker->isRunning(); }, 30000));
        QCoreApplication::processEvents();
        return std::pair(checker->m_error.load(), int(desk.log.size()));
    };
    EXPECT_EQ(check(false), std::pair(1, 0));
    EXPECT_EQ(check(true), std::pair(1, 0));

    HttpTestServer server;
    const QString page = QStringLiteral("/checkupdate/updateurl.html"), script = QStringLiteral("/cgi/check.php");
    w->setUpdateEndpoint({QStringLiteral("127.0.0.1"), server.port(), page});
    const QByteArray scriptAddress = (server.base() + script).toLatin1();
    const struct {
        const char* name;
        HttpTestServer::Reply page, answer;
        int error;
    } cases[] = {
        {"page 404", {404, ""}, {}, 1},
        {"script 500", {200, scriptAddress}, {500, "oops"}, 2},
        {"empty answer", {200, scriptAddress}, {200, ""}, 2},
        {"answer not HTTP", {200, scriptAddress}, {200, "<status>1</status>", false, true}, 2},
    };
    for (const auto& c : cases) {
        server.routes[page] = c.page;
        server.routes[script] = c.answer;
        EXPECT_EQ(check(true), std::pair(c.error, 0)) << c.name;
    }

    desk.urlsOpen = false;  // an update accepted, with no browser to open it
    desk.log.clear();
    desk.dialogs.assign(1, [](QDialog&) { return int(QDialog::Accepted); });
    w->onProcessAutoUpdate(answer(1, true, 0, "https://example.invalid/get").get());
    ASSERT_EQ(desk.log.size(), 2u);
    EXPECT_EQ(std::pair(desk.log[0].kind, desk.log[1].kind), std::pair(QString("execDialog"), QString("openUrl")));
}
