// The window as a person meets it: layout and resizing, keyboard, menu,
// choosers and what assistive technology sees.
#include "support/AppSupport.h"
#include "gui/widgets/SegmentedControl.h"

#include <QCheckBox>
#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTest>

#include <gtest/gtest.h>

namespace {

struct WindowTest : ::testing::Test {
    TempWorkspace ws;
    PlatformProfile profile = makeTestProfile(ws);
};

QRect inContent(const TestApp& app, const QWidget* w)
{
    const QWidget* content = app.window->centralWidget();
    return QRect(w->mapTo(content, QPoint(0, 0)), w->size());
}

QAction* findMenuItem(const MainWindow& window, const QString& title)
{
    for (QAction* menu : window.menuBar()->actions()) {
        if (!menu->menu())
            continue;
        for (QAction* action : menu->menu()->actions()) {
            if (action->text() == title)
                return action;
        }
    }
    return nullptr;
}

QAction* findAction(const TestApp& app, const QString& title)
{
    return findMenuItem(*app.window, title);
}

}  // namespace

TEST_F(WindowTest, LayoutKeepsButtonWidthsAndGrowsFieldsAndLog)
{
    auto app = makeApp(profile, true);
    EXPECT_EQ(app->window->minimumSize(), QSize(680, 500));

    struct Snapshot {
        int contentWidth, contentHeight;
        QRect url, folder, audio, log, start;
    };
    auto measure = [&](QSize size) {
        app->window->resize(size);
        pumpEvents(50);
        const QWidget* content = app->window->centralWidget();
        const int right = content->width() - 18;
        for (QPushButton* b : {app->startButton, app->installButton, app->chooseButton,
                               app->chooseAudioButton, app->separateButton}) {
            EXPECT_EQ(inContent(*app, b).right() + 1, right) << b->text().toStdString();
        }
        EXPECT_EQ(app->startButton->width(), 92);
        EXPECT_EQ(app->installButton->width(), 150);
        EXPECT_EQ(app->chooseButton->width(), 92);
        EXPECT_EQ(app->chooseAudioButton->width(), 92);
        EXPECT_EQ(app->installDemucsButton->width(), 128);
        EXPECT_EQ(app->separateButton->width(), 92);
        EXPECT_EQ(app->stemModeControl->width(), 225);
        EXPECT_EQ(inContent(*app, app->installDemucsButton).right() + 1 + 10,
                  inContent(*app, app->separateButton).left());
        // Fields start 90 + 10 in from the margin and end 10 before their button.
        for (QLineEdit* f : {app->urlField, app->folderField, app->audioField})
            EXPECT_EQ(inContent(*app, f).left(), 18 + 90 + 10);
        // The mode row: the check box at the margin, the mode control 10 after it.
        EXPECT_EQ(inContent(*app, app->separateAfterDownloadBox).left(), 18);
        EXPECT_EQ(inContent(*app, app->stemModeControl).left(),
                  inContent(*app, app->separateAfterDownloadBox).right() + 1 + 10);
        EXPECT_LT(inContent(*app, app->stemModeControl).right(), inContent(*app, app->installDemucsButton).left());
        EXPECT_EQ(inContent(*app, app->urlField).right() + 1 + 10, inContent(*app, app->startButton).left());
        // Install yt-dlp sits 12 under Start; the log fills the rest within the margins.
        EXPECT_EQ(inContent(*app, app->installButton).top(), inContent(*app, app->startButton).bottom() + 1 + 12);
        const QRect log = inContent(*app, app->logView);
        EXPECT_EQ(log.left(), 18);
        EXPECT_EQ(log.right() + 1, right);
        // The status row spans the margins under the log, Stop at its right end.
        const QRect stage = inContent(*app, app->stageLabel);
        const QRect bar = inContent(*app, app->progressBar);
        const QRect stop = inContent(*app, app->stopButton);
        EXPECT_EQ(stage.left(), 18);
        EXPECT_EQ(stop.right() + 1, right);
        EXPECT_EQ(app->stopButton->width(), 92);
        EXPECT_EQ(stop.bottom() + 1, content->height() - 18);
        EXPECT_LT(stage.right(), bar.left());
        const QRect show = inContent(*app, app->showStemsButton);
        EXPECT_LT(bar.right(), show.left());
        EXPECT_EQ(show.right() + 1 + 10, stop.left());
        for (const QRect& r : {stage, bar, stop})
            EXPECT_GE(r.top(), log.bottom() + 1 + 10);
        EXPECT_EQ(inContent(*app, app->stemModeControl).bottom() + 1 + 18, log.top());
        // Rows go top to bottom in order.
        EXPECT_LT(inContent(*app, app->urlField).top(), inContent(*app, app->folderField).top());
        EXPECT_LT(inContent(*app, app->folderField).top(), inContent(*app, app->audioField).top());
        EXPECT_LT(inContent(*app, app->audioField).top(), inContent(*app, app->stemModeControl).top());
        return Snapshot{content->width(), content->height(), inContent(*app, app->urlField),
                        inContent(*app, app->folderField), inContent(*app, app->audioField), log,
                        inContent(*app, app->startButton)};
    };

    measure(QSize(680, 500));  // everything fits at the smallest size
    const Snapshot small = measure(QSize(760, 560));
    const Snapshot large = measure(QSize(1100, 800));
    const int dw = large.contentWidth - small.contentWidth;
    const int dh = large.contentHeight - small.contentHeight;
    EXPECT_EQ(dw, 340);
    EXPECT_EQ(large.url.width() - small.url.width(), dw);
    EXPECT_EQ(large.folder.width() - small.folder.width(), dw);
    EXPECT_EQ(large.audio.width() - small.audio.width(), dw);
    EXPECT_EQ(large.log.width() - small.log.width(), dw);
    EXPECT_EQ(large.log.height() - small.log.height(), dh);
    EXPECT_EQ(large.url.height(), small.url.height());
    EXPECT_EQ(large.start.top(), small.start.top());  // rows do not move down
}

TEST_F(WindowTest, ControlsAndTheirSetUp)
{
    auto app = makeApp(profile, true);
    const QStringList labels = [&] {
        QStringList texts;
        for (QLabel* l : app->window->centralWidget()->findChildren<QLabel*>())
            texts << l->text();
        return texts;
    }();
    EXPECT_EQ(labels, (QStringList{"URL", "Save Folder", "Audio File", "Ready"}));

    // The Stop button is live only while a job runs and ends it.
    EXPECT_FALSE(app->stopButton->isEnabled());
    app->runJob(new HoldJob);
    EXPECT_TRUE(app->stopButton->isEnabled());
    QTest::mouseClick(app->stopButton, Qt::LeftButton);
    EXPECT_FALSE(app->isBusy());
    EXPECT_FALSE(app->stopButton->isEnabled());
    EXPECT_FALSE(app->urlField->isReadOnly());
    EXPECT_TRUE(app->folderField->isReadOnly());
    EXPECT_TRUE(app->audioField->isReadOnly());
    EXPECT_EQ(app->audioField->placeholderText(), QStringLiteral("Download audio or choose an existing file."));
    EXPECT_TRUE(app->urlField->placeholderText().startsWith(QStringLiteral("https://www.youtube.com/watch?v=")));
    EXPECT_TRUE(app->logView->isReadOnly());
    EXPECT_TRUE(app->logView->textInteractionFlags() & Qt::TextSelectableByMouse);
    EXPECT_EQ(app->startButton->text(), QStringLiteral("Start"));
    EXPECT_EQ(app->separateButton->text(), QStringLiteral("Separate"));
    EXPECT_EQ(app->chooseButton->text(), QStringLiteral("Choose..."));

    // The mode segments are exclusive.
    QTest::mouseClick(app->stemModeControl->segmentButton(0), Qt::LeftButton);
    EXPECT_EQ(app->stemModeControl->selectedSegment(), 0);
    EXPECT_FALSE(app->stemModeControl->segmentButton(1)->isChecked());
    QTest::mouseClick(app->stemModeControl->segmentButton(0), Qt::LeftButton);
    EXPECT_EQ(app->stemModeControl->selectedSegment(), 0);
    app->stemModeControl->setSelectedSegment(-1);
    EXPECT_EQ(app->stemModeControl->selectedSegment(), -1);
}

TEST_F(WindowTest, ReturnStartsADownloadOnlyWhenStartIsEnabled)
{
    auto app = makeApp(profile, true);
    QApplication::setActiveWindow(app->window);
    app->urlField->setFocus();
    QTest::keyClick(app->urlField, Qt::Key_Return);
    EXPECT_EQ(logLines(*app).last(), QStringLiteral("Enter a YouTube URL first."));

    const int before = logLines(*app).size();
    app->updateControlStates(true);
    QTest::keyClick(app->urlField, Qt::Key_Return);
    QTest::keyClick(app->logView, Qt::Key_Return);
    EXPECT_EQ(logLines(*app).size(), before);

    // From another control too, as a key equivalent of the window.
    app->updateControlStates(false);
    app->chooseButton->setFocus();
    QTest::keyClick(app->chooseButton, Qt::Key_Enter);
    EXPECT_EQ(logLines(*app).size(), before + 1);
}

TEST_F(WindowTest, FocusReturnsAfterARunUnlessTheUserMovedIt)
{
    auto app = makeApp(profile, true);
    QApplication::setActiveWindow(app->window);
    app->urlField->setFocus();
    ASSERT_EQ(QApplication::focusWidget(), app->urlField);

    app->updateControlStates(true);  // the focused field is disabled; Qt moves the focus on
    EXPECT_NE(QApplication::focusWidget(), app->urlField);
    app->updateControlStates();      // an observer update mid-run changes nothing
    app->updateControlStates(false);
    EXPECT_EQ(QApplication::focusWidget(), app->urlField);
    EXPECT_FALSE(app->folderField->hasSelectedText());

    app->updateControlStates(true);
    app->logView->setFocus();        // the user reads the log meanwhile
    app->updateControlStates(false);
    EXPECT_EQ(QApplication::focusWidget(), app->logView);
}

TEST_F(WindowTest, EditMenuActsOnTheFocusedTextWidget)
{
    auto app = makeApp(profile, true);
    QAction* undo = findAction(*app, QStringLiteral("Undo"));
    QAction* redo = findAction(*app, QStringLiteral("Redo"));
    QAction* selectAll = findAction(*app, QStringLiteral("Select All"));
    QAction* copy = findAction(*app, QStringLiteral("Copy"));
    QAction* quit = findAction(*app, QStringLiteral("Quit Stemloft"));
    ASSERT_TRUE(undo && redo && selectAll && copy && quit);
    EXPECT_EQ(undo->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Z));
    EXPECT_EQ(redo->shortcut(), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z));
    EXPECT_EQ(quit->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
    for (const char* title : {"Cut", "Paste"})
        EXPECT_NE(findAction(*app, QString::fromLatin1(title)), nullptr) << title;

    app->window->activateWindow();
    app->urlField->setFocus();
    QApplication::setActiveWindow(app->window);
    QTest::keyClicks(app->urlField, QStringLiteral("https://example.com"));
    ASSERT_EQ(QApplication::focusWidget(), app->urlField);
    undo->trigger();
    EXPECT_EQ(app->urlField->text(), QString());
    redo->trigger();
    EXPECT_EQ(app->urlField->text(), QStringLiteral("https://example.com"));

    // The read-only log can be selected and copied.
    app->appendLog(QStringLiteral("copy me"));
    app->logView->setFocus();
    selectAll->trigger();
    EXPECT_TRUE(app->logView->textCursor().selectedText().contains(QStringLiteral("copy me")));

    // Undo and Redo never change the log, and it keeps no history.
    app->appendLogEntries({QStringLiteral("second"), QStringLiteral("third")});
    app->clearLog();
    app->appendLog(QStringLiteral("after clear"));
    const QString log = app->logView->toPlainText();
    ASSERT_EQ(QApplication::focusWidget(), app->logView);
    for (int i = 0; i < 3; ++i)
        undo->trigger();
    EXPECT_EQ(app->logView->toPlainText(), log);
    QTest::keyClick(app->logView, Qt::Key_Z, Qt::ControlModifier);
    redo->trigger();
    EXPECT_EQ(app->logView->toPlainText(), log);
    EXPECT_FALSE(app->logView->document()->isUndoAvailable());
}

TEST_F(WindowTest, ChoosersRememberTheFolderAndSetTheAudioFile)
{
    const QString folder = ws.makeDir(QStringLiteral("My Music"));
    {
        auto app = makeApp(profile, true);
        app->applyChosenFolder(folder);
        EXPECT_EQ(app->folderField->text(), folder);
        EXPECT_EQ(logLines(*app).last(), QStringLiteral("Save folder: ") + folder);
        const QString broken = ws.makeDir(QStringLiteral("line\nbreak"));
        app->applyChosenFolder(broken);
        EXPECT_EQ(app->folderField->text(), folder);
        EXPECT_EQ(app->logView->toPlainText().section('\n', -2),
                  QStringLiteral("Folder names with line breaks are not supported: ") + broken);

        const QString movie = ws.writeFile(QStringLiteral("My Music/clip.mp4"), "x");
        app->applyChosenAudioFile(movie);
        EXPECT_EQ(app->audioField->text(), movie);
        EXPECT_TRUE(app->separateButton->isEnabled());
        EXPECT_EQ(logLines(*app).last(), QStringLiteral("Audio file: ") + movie);
    }
    auto relaunched = makeApp(profile, true);
    EXPECT_EQ(relaunched->folderField->text(), folder);

    const QString filter = MainWindow::audioChooserNameFilters().join(QLatin1Char(' '));
    for (const char* pattern : {"*.mp3", "*.m4a", "*.wav", "*.flac", "*.mp4", "*.webm", "*.mkv", "*.mov"})
        EXPECT_TRUE(filter.contains(QString::fromLatin1(pattern))) << pattern;
    EXPECT_FALSE(filter.contains(QStringLiteral("*.txt")));
}

TEST_F(WindowTest, ControlsAreExposedUnderTheirVisibleTitles)
{
    auto app = makeApp(profile, true);
    auto nameOf = [](QWidget* w) {
        QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(w);
        return iface ? iface->text(QAccessible::Name) : QString();
    };
    EXPECT_EQ(nameOf(app->startButton), QStringLiteral("Start"));
    EXPECT_EQ(nameOf(app->installButton), QStringLiteral("Install yt-dlp"));
    EXPECT_EQ(nameOf(app->separateButton), QStringLiteral("Separate"));
    EXPECT_EQ(nameOf(app->urlField), QStringLiteral("URL"));
    EXPECT_EQ(nameOf(app->folderField), QStringLiteral("Save Folder"));
    EXPECT_EQ(nameOf(app->audioField), QStringLiteral("Audio File"));
    EXPECT_EQ(nameOf(app->logView), QStringLiteral("Log"));
    EXPECT_EQ(nameOf(app->stopButton), QStringLiteral("Stop"));
    EXPECT_EQ(nameOf(app->showStemsButton), QStringLiteral("Show Stems"));
    EXPECT_EQ(nameOf(app->separateAfterDownloadBox), QStringLiteral("Separate after download"));
    EXPECT_EQ(nameOf(app->progressBar), QStringLiteral("Progress"));
    EXPECT_EQ(app->stageLabel->text(), QStringLiteral("Ready"));

    const QStringList titles = {QStringLiteral("2 tracks"), QStringLiteral("4 tracks"), QStringLiteral("6 tracks")};
    ASSERT_EQ(app->stemModeControl->segmentCount(), 3);
    for (int i = 0; i < 3; ++i) {
        QPushButton* segment = app->stemModeControl->segmentButton(i);
        QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(segment);
        ASSERT_NE(iface, nullptr);
        EXPECT_EQ(iface->text(QAccessible::Name), titles.at(i));
        ASSERT_NE(iface->actionInterface(), nullptr);
        const QStringList actions = iface->actionInterface()->actionNames();
        EXPECT_TRUE(actions.contains(QAccessibleActionInterface::pressAction()) ||
                    actions.contains(QAccessibleActionInterface::toggleAction()));
        EXPECT_TRUE(iface->state().checkable);
        EXPECT_EQ(bool(iface->state().checked), i == 2);
        EXPECT_TRUE(segment->focusPolicy() & Qt::TabFocus);
    }
    QAccessibleInterface* four = QAccessible::queryAccessibleInterface(app->stemModeControl->segmentButton(0));
    four->actionInterface()->doAction(four->actionInterface()->actionNames().first());
    EXPECT_TRUE(waitUntil([&] { return app->stemModeControl->selectedSegment() == 0; }, 2000));

    app->appendLog(QStringLiteral("readable entry"));
    QAccessibleInterface* log = QAccessible::queryAccessibleInterface(app->logView);
    ASSERT_NE(log, nullptr);
    ASSERT_NE(log->textInterface(), nullptr);
    const int count = log->textInterface()->characterCount();
    EXPECT_TRUE(log->textInterface()->text(0, count).contains(QStringLiteral("readable entry")));

    // Menus and their items, Alt+letter titles without the "&".
    auto childNames = [](QObject* object) {
        QStringList names;
        QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(object);
        for (int i = 0; iface && i < iface->childCount(); ++i) {
            if (!iface->child(i)->text(QAccessible::Name).isEmpty())
                names << iface->child(i)->text(QAccessible::Name);
        }
        return names;
    };
    QMenuBar* bar = app->window->menuBar();
    EXPECT_EQ(childNames(bar), (QStringList{"Stemloft", "Edit", "Cookies", "Format"}));
    EXPECT_EQ(childNames(bar->actions()[0]->menu()),
              (QStringList{"Open Stems...", "Open Save Folder", "Open Log Folder", "Update yt-dlp", "Quit Stemloft"}));
    EXPECT_EQ(childNames(bar->actions()[3]->menu()),
              (QStringList{"AAC (.m4a)", "FLAC (lossless)", "WAV", "Best Quality 4-Stem Model (slower)"}));
    EXPECT_EQ(childNames(bar->actions()[2]->menu()),
              (QStringList{"No Cookies", "Firefox", "Chrome", "Chromium", "Brave", "Edge"}));
    QAccessibleInterface* firefox = QAccessible::queryAccessibleInterface(bar->actions()[2]->menu())->child(2);
    EXPECT_TRUE(firefox->state().checkable);

    for (QWidget* w : std::initializer_list<QWidget*>{app->urlField, app->startButton, app->installButton,
                                                      app->chooseButton, app->chooseAudioButton,
                                                      app->installDemucsButton, app->separateButton,
                                                      app->logView, app->showStemsButton, app->stopButton,
                                                      app->separateAfterDownloadBox})
        EXPECT_TRUE(w->focusPolicy() & Qt::TabFocus) << w->objectName().toStdString();
}

// The window alone runs nothing: each control only says what the user asked for.
TEST(MainWindowAlone, ControlsEmitWhatTheUserAskedForAndChangeNothingElse)
{
    MainWindow window(QStringLiteral("1.0"), {QStringLiteral("Firefox")});
    window.show();
    QStringList asked;
    const auto record = [&](const char* what) { return [&asked, what] { asked << QLatin1String(what); }; };
    QObject::connect(&window, &MainWindow::downloadRequested, record("download"));
    QObject::connect(&window, &MainWindow::separateRequested, record("separate"));
    QObject::connect(&window, &MainWindow::stopRequested, record("stop"));
    QObject::connect(&window, &MainWindow::installYtDlpRequested, record("install yt-dlp"));
    QObject::connect(&window, &MainWindow::installDemucsRequested, record("install demucs"));
    QObject::connect(&window, &MainWindow::showStemsRequested, record("show stems"));
    QObject::connect(&window, &MainWindow::quitRequested, record("quit"));
    QObject::connect(&window, &MainWindow::cookiesBrowserChosen,
                     [&](const QString& browser) { asked << QStringLiteral("cookies ") + browser; });
    QObject::connect(&window, &MainWindow::exportFormatChosen,
                     [&](separation::ExportFormat format) { asked << QStringLiteral("format %1").arg(int(format)); });

    ControlStates states;
    states.busy = true;
    states.hasAudio = states.hasStems = true;
    window.showControlStates(states);
    for (const char* name : {"startButton", "separateButton", "installButton", "installDemucsButton", "stopButton",
                             "showStemsButton"})
        window.findChild<QPushButton*>(QLatin1String(name))->click();
    // Disabled while busy: only Stop and Show Stems get through.
    EXPECT_EQ(asked, (QStringList{"stop", "show stems"}));

    asked.clear();
    window.showControlStates({false, false, false, true, true});
    for (const char* name : {"startButton", "separateButton", "installButton", "installDemucsButton", "stopButton"})
        window.findChild<QPushButton*>(QLatin1String(name))->click();
    for (const char* item : {"Firefox", "FLAC (lossless)"}) {
        QAction* action = findMenuItem(window, QLatin1String(item));
        ASSERT_NE(action, nullptr) << item;
        action->trigger();
    }
    EXPECT_EQ(asked, (QStringList{"download", "separate", "install yt-dlp", "install demucs", "cookies Firefox",
                                  "format 1"}));
    // A menu choice is shown by the controller's answer, not by the click alone.
    window.showCookiesBrowser(QString());
    EXPECT_TRUE(findMenuItem(window, QStringLiteral("No Cookies"))->isChecked());

    // Closing asks to quit while told so, and the window stays; otherwise it closes.
    asked.clear();
    window.setCloseAsksToQuit(true);
    EXPECT_FALSE(window.close());
    EXPECT_TRUE(window.isVisible());
    window.setCloseAsksToQuit(false);
    EXPECT_TRUE(window.close());
    EXPECT_EQ(asked, QStringList{"quit"});
}
