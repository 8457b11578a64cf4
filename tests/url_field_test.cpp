// The URL field with one link and with a pasted list of thousands.
#include "support/AppSupport.h"
#include "gui/widgets/PathField.h"

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
        ws.writeScript("pathbin/yt-dlp", "for a; do url=$a; done\necho \"$url\" >> " + shellQuote(ws.path("urls")) +
                                             "\ncase \"$url\" in *hold*) touch " + shellQuote(ws.path("held")) +
                                             "; while [ -e " + shellQuote(ws.path("hold")) +
                                             " ]; do sleep 0.02; done;; esac\n");
        app->folderField->setText(ws.makeDir("save"));
        QApplication::setActiveWindow(app->window);
        app->urlField->setFocus();
    }
    QStringList givenUrls() const { return QString::fromUtf8(ws.readFile("urls")).split('\n', Qt::SkipEmptyParts); }

    TempWorkspace ws;
    PlatformProfile profile = makeTestProfile(ws);
    std::unique_ptr<TestApp> app = makeApp(profile);
    QPushButton* editLinks = app->window->findChild<QPushButton*>("editLinksButton");
};

}  // namespace

TEST_F(UrlFieldTest, APastedListOfThousandsQueuesEveryLinkAndOneLinkStaysADownload)
{
    // Far past the 32,767 characters a line edit keeps by default.
    QStringList links{"https://example.com/hold"};
    for (int i = 1; i < 5000; ++i)
        links << QStringLiteral("https://www.youtube.com/watch?v=clip%1").arg(i, 5, 10, QLatin1Char('0'));
    QGuiApplication::clipboard()->setText(links.join("\r\n") + "\n");
    QTest::keyClick(app->urlField, Qt::Key_V, Qt::ControlModifier);
    ws.writeFile("hold", {});
    QTest::keyClick(app->urlField, Qt::Key_Return);
    ASSERT_TRUE(waitUntil([&] { return QFileInfo::exists(ws.path("held")); }));
    EXPECT_EQ(app->stageLabel->text(), "[1/5000] Downloading");
    EXPECT_TRUE(app->urlField->toolTip().startsWith("5,000 links:\nhttps://example.com/hold\n"));
    EXPECT_TRUE(app->urlField->toolTip().endsWith("\nand 4,980 more"));
    app->stopButton->click();
    ASSERT_TRUE(waitIdle(*app));
    EXPECT_EQ(logLines(*app).last(), "Stopped. 4999 items were not started.");

    // Typed over, one link is one download again, without list tools.
    app->urlField->selectAll();
    QTest::keyClicks(app->urlField, "https://example.com/one");
    QTest::keyClick(app->urlField, Qt::Key_Return);
    ASSERT_TRUE(waitIdle(*app));
    EXPECT_EQ(givenUrls(), (QStringList{"https://example.com/hold", "https://example.com/one"}));
    EXPECT_TRUE(logLines(*app).filter("[1/1]").isEmpty());
    EXPECT_FALSE(editLinks->isVisible());
    EXPECT_TRUE(app->urlField->toolTip().isEmpty());
}

TEST_F(UrlFieldTest, TheListIsEditedFromTheKeyboardAndTheEditCanBeUndone)
{
    app->window->setUrlText("https://example.com/a https://example.com/b");  // as a drop sets it
    app->startButton->setFocus();
    QTest::keyClick(app->startButton, Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), editLinks);
    QTest::keyClick(editLinks, Qt::Key_Space);
    auto* dialog = app->window->findChild<QDialog*>("linksDialog");
    ASSERT_TRUE(dialog && dialog->isVisible());
    auto* links = dialog->findChild<QPlainTextEdit*>("linksEdit");
    EXPECT_EQ(links->toPlainText(), "https://example.com/a\nhttps://example.com/b");
    links->setPlainText("https://example.com/b\nhttps://example.com/c\nhttps://EXAMPLE.com/b/");
    EXPECT_EQ(dialog->findChild<QLabel*>("linksCount")->text(), "2 links");
    dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
    EXPECT_TRUE(app->urlField->toolTip().startsWith("2 links:\nhttps://example.com/b\nhttps://example.com/c"));
    app->urlField->undo();
    EXPECT_EQ(app->urlField->text(), "https://example.com/a https://example.com/b");
}

// Without focus a long text is shortened; its line breaks must not become rows
// the one-line field cuts off top and bottom.
TEST(PathFieldAlone, LineBreaksAreDrawnAsSpaces)
{
    PathField field;
    field.resize(240, field.sizeHint().height());
    QString words = QStringLiteral("https://a.io/1");
    for (int i = 2; i <= 12; ++i)
        words += QStringLiteral(" https://a.io/%1").arg(i);
    field.setText(words);
    const QImage spaced = field.grab().toImage();
    field.setText(words.replace(' ', '\n'));
    EXPECT_EQ(field.grab().toImage(), spaced);
}
