// Window layout, menu bar and the two choosers.
#include "gui/AppController.h"
#include "jobs/SaveFolderCheck.h"
#include "gui/widgets/SegmentedControl.h"

#include <QActionGroup>
#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMimeDatabase>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QShortcut>
#include <QVBoxLayout>

namespace {

constexpr int margin = 18;
constexpr int fieldGap = 10;
constexpr int rowGap = 18;
constexpr int underStartGap = 12;
constexpr int labelWidth = 90;
constexpr int statusGap = 10;

// Sizes are given in the Mac's points, where one point is one pixel at 1x.
// Elsewhere a point is 1/72 inch at 96 dpi, so scale to keep the same look.
qreal designPoints(qreal points)
{
#ifdef Q_OS_MACOS
    return points;
#else
    return points * 72.0 / 96.0;
#endif
}

QLabel* makeRowLabel(const QString& text, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    QFont font = label->font();
    font.setPointSizeF(designPoints(13));
    font.setWeight(QFont::Medium);
    label->setFont(font);
    label->setFixedWidth(labelWidth);
    return label;
}

void setUpButton(QPushButton* button, const QString& title, int width)
{
    button->setText(title);
    button->setFixedWidth(width);
    button->setAutoDefault(false);
    button->setFocusPolicy(Qt::StrongFocus);
}

// Edit commands go to whichever text widget has the focus.
void sendToFocusedTextWidget(const char* slot)
{
    QWidget* focused = QApplication::focusWidget();
    if (qobject_cast<QLineEdit*>(focused) || qobject_cast<QPlainTextEdit*>(focused))
        QMetaObject::invokeMethod(focused, slot);
}

}  // namespace

void AppDelegate::buildMenu()
{
    QMenuBar* bar = window->menuBar();
    bar->clear();

    // "&": Alt+S and Alt+E open the menus, so every item is reachable from
    // the keyboard, not only the ones with a shortcut.
    QMenu* appMenu = bar->addMenu(QStringLiteral("&Stemloft"));
    QAction* openSave = appMenu->addAction(QStringLiteral("Open Save Folder"));
    QObject::connect(openSave, &QAction::triggered, this, [this] { openSaveFolder(); });
    QAction* openLogs = appMenu->addAction(QStringLiteral("Open Log Folder"));
    QObject::connect(openLogs, &QAction::triggered, this, [this] { openLogFolder(); });
    updateYtDlpAction = appMenu->addAction(QStringLiteral("Update yt-dlp"));
    QObject::connect(updateYtDlpAction, &QAction::triggered, this, [this] { updateYtDlp(); });
    appMenu->addSeparator();
    QAction* quit = appMenu->addAction(QStringLiteral("Quit Stemloft"));
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    quit->setMenuRole(QAction::QuitRole);
    QObject::connect(quit, &QAction::triggered, this, [this] { requestQuit(); });

    QMenu* edit = bar->addMenu(QStringLiteral("&Edit"));
    struct Item {
        const char* title;
        QKeySequence keys;
        const char* slot;
    };
    const Item items[] = {
        {"Undo", QKeySequence(Qt::CTRL | Qt::Key_Z), "undo"},
        {"Redo", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z), "redo"},
        {nullptr, {}, nullptr},
        {"Cut", QKeySequence(Qt::CTRL | Qt::Key_X), "cut"},
        {"Copy", QKeySequence(Qt::CTRL | Qt::Key_C), "copy"},
        {"Paste", QKeySequence(Qt::CTRL | Qt::Key_V), "paste"},
        {"Select All", QKeySequence(Qt::CTRL | Qt::Key_A), "selectAll"},
    };
    for (const Item& item : items) {
        if (!item.title) {
            edit->addSeparator();
            continue;
        }
        QAction* action = edit->addAction(QString::fromLatin1(item.title));
        action->setShortcut(item.keys);
        const char* slot = item.slot;
        QObject::connect(action, &QAction::triggered, [slot] { sendToFocusedTextWidget(slot); });
    }

    // Sites that ask for a signed-in visitor get the cookies of the user's browser.
    QMenu* cookies = bar->addMenu(QStringLiteral("&Cookies"));
    auto* browsers = new QActionGroup(cookies);
    browsers->setExclusive(true);
    cookiesActions.clear();
    for (const QString& title : QStringList{QStringLiteral("No Cookies")} + m_profile.cookieBrowsers) {
        QAction* action = cookies->addAction(title);
        action->setCheckable(true);
        browsers->addAction(action);
        cookiesActions << action;
        const QString browser = cookiesActions.size() == 1 ? QString() : title;
        QObject::connect(action, &QAction::triggered, this, [this, browser] { setCookiesBrowser(browser); });
    }
    if (cookiesActions.size() > 1)
        cookies->insertSeparator(cookiesActions[1]);
    restoreCookiesBrowser();

    // In the order of separation::ExportFormat.
    QMenu* format = bar->addMenu(QStringLiteral("&Format"));
    auto* formats = new QActionGroup(format);
    formats->setExclusive(true);
    formatActions.clear();
    const std::pair<const char*, separation::ExportFormat> formatItems[] = {
        {"AAC (.m4a)", separation::ExportFormat::aac},
        {"FLAC (lossless)", separation::ExportFormat::flac},
        {"WAV", separation::ExportFormat::wav},
    };
    for (const auto& [title, value] : formatItems) {
        QAction* action = format->addAction(QString::fromLatin1(title));
        action->setCheckable(true);
        formats->addAction(action);
        formatActions << action;
        QObject::connect(action, &QAction::triggered, this, [this, value] { setExportFormat(value); });
    }
    format->addSeparator();
    bestQualityAction = format->addAction(QStringLiteral("Best Quality 4-Stem Model (slower)"));
    bestQualityAction->setCheckable(true);
    QObject::connect(bestQualityAction, &QAction::triggered, this, [this](bool on) { setBestQuality(on); });
    restoreSeparationChoices();
}

void AppDelegate::buildUI()
{
    window->setWindowTitle(QStringLiteral("Stemloft ") + appVersion);
    window->setMinimumSize(680, 500);

    auto* content = new QWidget;
    window->setCentralWidget(content);

    QLabel* urlLabel = makeRowLabel(QStringLiteral("URL"), content);
    urlField->setPlaceholderText(QStringLiteral("https://www.youtube.com/watch?v=..."));
    urlField->setAccessibleName(QStringLiteral("URL"));
    urlLabel->setBuddy(urlField);

    setUpButton(installButton, QStringLiteral("Install yt-dlp"), 150);
    QObject::connect(installButton, &QPushButton::clicked, this, [this] { installYtDlp(); });

    QLabel* folderLabel = makeRowLabel(QStringLiteral("Save Folder"), content);
    folderField->setReadOnly(true);
    folderField->setAccessibleName(QStringLiteral("Save Folder"));
    folderLabel->setBuddy(folderField);

    setUpButton(chooseButton, QStringLiteral("Choose..."), 92);
    chooseButton->setAccessibleDescription(QStringLiteral("Choose the save folder"));
    QObject::connect(chooseButton, &QPushButton::clicked, this, [this] { chooseFolder(); });

    QLabel* audioLabel = makeRowLabel(QStringLiteral("Audio File"), content);
    audioField->setReadOnly(true);
    audioField->setPlaceholderText(QStringLiteral("Download audio or choose an existing file."));
    audioField->setAccessibleName(QStringLiteral("Audio File"));
    audioLabel->setBuddy(audioField);

    setUpButton(chooseAudioButton, QStringLiteral("Choose..."), 92);
    chooseAudioButton->setAccessibleDescription(QStringLiteral("Choose an audio or movie file"));
    QObject::connect(chooseAudioButton, &QPushButton::clicked, this, [this] { chooseAudioFile(); });

    setUpButton(installDemucsButton, QStringLiteral("Install Demucs"), 128);
    QObject::connect(installDemucsButton, &QPushButton::clicked, this, [this] { installDemucs(); });

    separateAfterDownloadBox->setText(QStringLiteral("Separate after download"));
    separateAfterDownloadBox->setToolTip(QStringLiteral("Split each download into stems right away"));
    separateAfterDownloadBox->setChecked(settings().value(QStringLiteral("separateAfterDownload")).toBool());
    QObject::connect(separateAfterDownloadBox, &QCheckBox::toggled, this,
                     [this](bool on) { settings().setValue(QStringLiteral("separateAfterDownload"), on); });

    stemModeControl->setFixedWidth(180);
    stemModeControl->setSelectedSegment(1);
    stemModeControl->setAccessibleName(QStringLiteral("Stem mode"));

    setUpButton(separateButton, QStringLiteral("Separate"), 92);
    QObject::connect(separateButton, &QPushButton::clicked, this, [this] { startSeparation(); });

    setUpButton(startButton, QStringLiteral("Start"), 92);
    startButton->setToolTip(QStringLiteral("Start the download (Return)"));
    QObject::connect(startButton, &QPushButton::clicked, this, [this] { startDownload(); });

    logView->setReadOnly(true);
    logView->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPointSizeF(designPoints(12));
    mono.setWeight(QFont::Normal);
    logView->setFont(mono);
    logView->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    logView->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    logView->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    logView->document()->setDocumentMargin(10);
    logView->setAccessibleName(QStringLiteral("Log"));
    logView->setFocusPolicy(Qt::StrongFocus);
    // Entries are the program's record, not the user's edits: Undo never removes them.
    logView->setUndoRedoEnabled(false);

    // Its text is its name for assistive technology, as for any label.
    stageLabel->setAccessibleDescription(QStringLiteral("Status"));
    stageLabel->setTextInteractionFlags(Qt::NoTextInteraction);
    progressBar->setAccessibleName(QStringLiteral("Progress"));
    progressBar->setTextVisible(false);
    setUpButton(stopButton, QStringLiteral("Stop"), 92);
    stopButton->setToolTip(QStringLiteral("Stop the running task"));
    QObject::connect(stopButton, &QPushButton::clicked, this, [this] { stopCurrentJob(); });
    setUpButton(showStemsButton, QStringLiteral("Show Stems"), 110);
    showStemsButton->setToolTip(QStringLiteral("Open the last stems folder"));
    QObject::connect(showStemsButton, &QPushButton::clicked, this, [this] { showStems(); });
    showIdleStatus();

    // Drops anywhere go to the window, which sorts files from links.
    window->setAcceptDrops(true);
    for (QWidget* field : {static_cast<QWidget*>(urlField), static_cast<QWidget*>(folderField),
                           static_cast<QWidget*>(audioField), static_cast<QWidget*>(logView)})
        field->setAcceptDrops(false);

    // Rows, top to bottom; the right-hand buttons share Start's right edge.
    auto* rows = new QVBoxLayout(content);
    rows->setContentsMargins(margin, margin, margin, margin);
    rows->setSpacing(0);

    auto* urlRow = new QHBoxLayout;
    urlRow->setSpacing(fieldGap);
    urlRow->addWidget(urlLabel);
    urlRow->addWidget(urlField, 1);
    urlRow->addWidget(startButton);
    rows->addLayout(urlRow);
    rows->addSpacing(underStartGap);

    auto* installRow = new QHBoxLayout;
    installRow->addStretch(1);
    installRow->addWidget(installButton);
    rows->addLayout(installRow);
    rows->addSpacing(rowGap);

    auto* folderRow = new QHBoxLayout;
    folderRow->setSpacing(fieldGap);
    folderRow->addWidget(folderLabel);
    folderRow->addWidget(folderField, 1);
    folderRow->addWidget(chooseButton);
    rows->addLayout(folderRow);
    rows->addSpacing(rowGap);

    auto* audioRow = new QHBoxLayout;
    audioRow->setSpacing(fieldGap);
    audioRow->addWidget(audioLabel);
    audioRow->addWidget(audioField, 1);
    audioRow->addWidget(chooseAudioButton);
    rows->addLayout(audioRow);
    rows->addSpacing(rowGap);

    auto* modeRow = new QHBoxLayout;
    modeRow->setSpacing(0);
    modeRow->addWidget(separateAfterDownloadBox);
    modeRow->addSpacing(fieldGap);
    modeRow->addWidget(stemModeControl);
    modeRow->addStretch(1);
    modeRow->addWidget(installDemucsButton);
    modeRow->addSpacing(fieldGap);
    modeRow->addWidget(separateButton);
    rows->addLayout(modeRow);
    rows->addSpacing(rowGap);

    rows->addWidget(logView, 1);
    rows->addSpacing(statusGap);

    auto* statusRow = new QHBoxLayout;
    statusRow->setSpacing(fieldGap);
    statusRow->addWidget(stageLabel, 1);
    statusRow->addWidget(progressBar, 1);
    statusRow->addWidget(showStemsButton);
    statusRow->addWidget(stopButton);
    rows->addLayout(statusRow);

    // Tab order follows the rows.
    QWidget::setTabOrder(urlField, startButton);
    QWidget::setTabOrder(startButton, installButton);
    QWidget::setTabOrder(installButton, folderField);
    QWidget::setTabOrder(folderField, chooseButton);
    QWidget::setTabOrder(chooseButton, audioField);
    QWidget::setTabOrder(audioField, chooseAudioButton);
    QWidget::setTabOrder(chooseAudioButton, separateAfterDownloadBox);
    QWidget::setTabOrder(separateAfterDownloadBox, stemModeControl->segmentButton(0));
    QWidget::setTabOrder(stemModeControl->segmentButton(0), stemModeControl->segmentButton(1));
    QWidget::setTabOrder(stemModeControl->segmentButton(1), installDemucsButton);
    QWidget::setTabOrder(installDemucsButton, separateButton);
    QWidget::setTabOrder(separateButton, logView);
    QWidget::setTabOrder(logView, showStemsButton);
    QWidget::setTabOrder(showStemsButton, stopButton);

    // Return starts a download whenever Start could be clicked.
    for (int key : {int(Qt::Key_Return), int(Qt::Key_Enter)}) {
        auto* shortcut = new QShortcut(QKeySequence(key), window);
        shortcut->setContext(Qt::WindowShortcut);
        QObject::connect(shortcut, &QShortcut::activated, this, [this] {
            if (startButton->isEnabled())
                startDownload();
        });
    }

    updateControlStates();
}

QStringList AppDelegate::audioChooserNameFilters()
{
    QStringList patterns;
    const QList<QMimeType> types = QMimeDatabase().allMimeTypes();
    for (const QMimeType& type : types) {
        const QString name = type.name();
        if (!name.startsWith(QLatin1String("audio/")) && !name.startsWith(QLatin1String("video/")))
            continue;
        for (const QString& pattern : type.globPatterns()) {
            if (!patterns.contains(pattern))
                patterns << pattern;
        }
    }
    patterns.sort();
    return {QStringLiteral("Audio and Movie Files (%1)").arg(patterns.join(QLatin1Char(' ')))};
}

void AppDelegate::chooseFolder()
{
    const QString path = QFileDialog::getExistingDirectory(window, QStringLiteral("Choose Save Folder"),
                                                           folderField->text());
    if (path.isEmpty())
        return;  // cancelled
    applyChosenFolder(path);
}

void AppDelegate::applyChosenFolder(const QString& path)
{
    if (savefolder::hasControlCharacters(path)) {
        appendLog(QStringLiteral("Folder names with line breaks are not supported: ") + path);
        return;
    }
    folderField->setText(path);
    settings().setValue(QStringLiteral("saveFolder"), path);
    settings().sync();
    appendLog(QStringLiteral("Save folder: ") + path);
}

void AppDelegate::chooseAudioFile()
{
    QFileDialog dialog(window, QStringLiteral("Choose Audio File"), folderField->text());
    dialog.setFileMode(QFileDialog::ExistingFiles);
    dialog.setNameFilters(audioChooserNameFilters());
    if (dialog.exec() != QDialog::Accepted)
        return;
    const QStringList files = dialog.selectedFiles();
    if (files.isEmpty())
        return;
    applyChosenAudioFiles(files);
}

void AppDelegate::applyChosenAudioFiles(const QStringList& paths)
{
    setAudioFiles(paths);
    for (const QString& path : paths)
        appendLog(QStringLiteral("Audio file: ") + path);
}

void AppDelegate::applyChosenAudioFile(const QString& path)
{
    applyChosenAudioFiles({path});
}
