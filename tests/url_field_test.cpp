// The URL field with one link and with a pasted list of thousands.
#include "support/AppSupport.h"
#include "gui/widgets/PathField.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QDialog>
#include <QDialogButtonBox>
#include <QPlainTextEdit>
#include <QTest>

#include <gtest/gtest.h>

namespace {

// The fake yt-dlp notes each link it is given; one containing "hold" waits
// while the file "hold" exists.
struct UrlFieldTest : ::testing::Test {
    void SetUp() override
    {
        ws.writeScript("pathbin/yt-dlp",
                       "for a; do url=$a; done\necho \"$url\" >> " + shellQuote(ws.path("urls")) + "\n"
                       "case \"$url\" in *hold*) echo $$ > " + shellQuote(ws.path("pid")) +
                           "; while [ -e " + shellQuote(ws.path("hold")) + " ]; do sleep 0.02; done;; esac\n");
        app = makeApp(profile);
        app->folderField->setText(ws.makeDir("save"));
        QApplication::setActiveWindow(app->window);
        app->urlField->setFocus();
    }
    QStringList givenUrls() const { return QString::fromUtf8(ws.readFile("urls")).split('\n', Qt::SkipEmptyParts); }

    TempWorkspace ws;
    PlatformProfile profile = makeTestProfile(ws);
    std::unique_ptr<TestApp> app;
};

QPushButton* editLinksButton(const TestApp& app)
{
    return app.window->findChild<QPushButton*>(QStringLiteral("editLinksButton"));
}

}  // namespace

TEST_F(UrlFieldTest, APastedListOfThousandsQueuesEveryLink)
{
    // Far past the 32,767 characters a line edit keeps by default.
    QStringList links{"https://example.com/hold"};
    for (int i = 1; i < 5000; ++i)
        links << QStringLiteral("https://www.youtube.com/watch?v=clip%1").arg(i, 5, 10, QLatin1Char('0'));
    QGuiApplication::clipboard()->setText(links.join("\r\n") + "\n");
    QTest::keyClick(app->urlField, Qt::Key_V, Qt::ControlModifier);
    ws.writeFile("hold", {});
    QTest::keyClick(app->urlField, Qt::Key_Return);
    ASSERT_TRUE(waitUntil([&] { return QFileInfo::exists(ws.path("pid")); }));
    EXPECT_EQ(app->stageLabel->text(), "[1/5000] Downloading");
    EXPECT_TRUE(app->urlField->toolTip().startsWith("5,000 links:\nhttps://example.com/hold\n"));
    EXPECT_TRUE(app->urlField->toolTip().endsWith("\nand 4,980 more"));
    app->stopButton->click();
    ASSERT_TRUE(waitIdle(*app));
    EXPECT_EQ(logLines(*app).last(), "Stopped. 4999 items were not started.");
    EXPECT_EQ(givenUrls(), QStringList{"https://example.com/hold"});
}

TEST_F(UrlFieldTest, OneTypedLinkStartsWithReturnAndNeedsNoList)
{
    QTest::keyClicks(app->urlField, "https://example.com/one");
    QTest::keyClick(app->urlField, Qt::Key_Return);
    ASSERT_TRUE(waitIdle(*app));
    EXPECT_EQ(givenUrls(), QStringList{"https://example.com/one"});
    EXPECT_TRUE(logLines(*app).filter("[1/").isEmpty());  // a download, not a queue of one
    EXPECT_FALSE(editLinksButton(*app)->isVisible());
    EXPECT_TRUE(app->urlField->toolTip().isEmpty());
}

TEST_F(UrlFieldTest, TheListIsEditedFromTheKeyboardAndTheEditCanBeUndone)
{
    // A drop of links, as the controller sets it.
    app->window->setUrlText("https://example.com/a https://example.com/b https://example.com/c");
    QPushButton* edit = editLinksButton(*app);
    ASSERT_TRUE(edit->isVisible());
    app->startButton->setFocus();
    QTest::keyClick(app->startButton, Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), edit);
    QTest::keyClick(edit, Qt::Key_Space);
    auto* dialog = app->window->findChild<QDialog*>("linksDialog");
    ASSERT_TRUE(dialog && dialog->isVisible());
    auto* links = dialog->findChild<QPlainTextEdit*>("linksEdit");
    EXPECT_EQ(QAccessible::queryAccessibleInterface(links)->text(QAccessible::Name), "Links");
    EXPECT_EQ(links->toPlainText(), "https://example.com/a\nhttps://example.com/b\nhttps://example.com/c");
    links->setPlainText("https://example.com/a\nhttps://example.com/c\nhttps://example.com/d");
    dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
    EXPECT_TRUE(app->urlField->toolTip().startsWith("3 links:\nhttps://example.com/a\nhttps://example.com/c\n"));

    // Down to one link the list tools go; Undo brings the list back.
    app->window->setUrlText("https://example.com/a");
    EXPECT_FALSE(edit->isVisible());
    app->window->setUrlText("https://example.com/a\nhttps://example.com/b");
    edit->click();
    dialog = app->window->findChild<QDialog*>("linksDialog");
    ASSERT_TRUE(dialog);
    dialog->findChild<QPlainTextEdit*>("linksEdit")->setPlainText("https://example.com/b");
    dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
    EXPECT_EQ(app->urlField->text(), "https://example.com/b");
    EXPECT_FALSE(edit->isVisible());
    app->urlField->undo();
    EXPECT_EQ(app->urlField->text(), "https://example.com/a\nhttps://example.com/b");
    EXPECT_TRUE(edit->isVisible());
}

// Without focus a long text is shortened; its line breaks must not become rows
// the one-line field cuts off top and bottom.
TEST(PathFieldAlone, LineBreaksAreDrawnAsSpaces)
{
    PathField field;
    field.resize(240, field.sizeHint().height());
    const QString words = QStringLiteral("https://example.com/first https://example.com/second "
                                         "https://example.com/third");
    field.setText(words);
    const QImage spaced = field.grab().toImage();
    field.setText(QString(words).replace(' ', '\n'));
    EXPECT_EQ(field.grab().toImage(), spaced);
}
