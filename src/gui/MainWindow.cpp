// The window's rows, menus, choosers and drops.
#include "gui/MainWindow.h"

#include "base/FileOps.h"

#include "gui/LogView.h"
#include "gui/widgets/PathField.h"
#include "gui/widgets/RecordingChooser.h"
#include "gui/widgets/SegmentedControl.h"
#include "gui/widgets/UrlField.h"

#include <QActionGroup>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDropEvent>
#include <QFileDialog>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QMimeDatabase>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QShortcut>
#include <QVBoxLayout>
#include <QWindow>

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

MainWindow::MainWindow(const QString& version, const QStringList& cookieBrowsers, QWidget* parent)
    : QMainWindow(parent),
      m_urlField(new UrlField(this)),
      m_folderField(new PathField(this)),
      m_audioField(new PathField(this)),
      m_startButton(new QPushButton(this)),
      m_editLinksButton(new QPushButton(this)),
      m_installButton(new QPushButton(this)),
      m_chooseButton(new QPushButton(this)),
      m_chooseAudioButton(new QPushButton(this)),
      m_separateAfterDownloadBox(new QCheckBox(this)),
      m_stemModeControl(new SegmentedControl(
          {QStringLiteral("2 tracks"), QStringLiteral("4 tracks"), QStringLiteral("6 tracks")}, this)),
      m_installDemucsButton(new QPushButton(this)),
      m_separateButton(new QPushButton(this)),
      m_logView(new LogView(this)),
      m_stageLabel(new QLabel(this)),
      m_progressBar(new QProgressBar(this)),
      m_playStemsButton(new QPushButton(this)),
      m_showStemsButton(new QPushButton(this)),
      m_stopButton(new QPushButton(this))
{
    const std::pair<QObject*, const char*> names[] = {
        {m_urlField, "urlField"},
        {m_folderField, "folderField"},
        {m_audioField, "audioField"},
        {m_startButton, "startButton"},
        {m_editLinksButton, "editLinksButton"},
        {m_installButton, "installButton"},
        {m_chooseButton, "chooseButton"},
        {m_chooseAudioButton, "chooseAudioButton"},
        {m_separateAfterDownloadBox, "separateAfterDownloadBox"},
        {m_stemModeControl, "stemModeControl"},
        {m_installDemucsButton, "installDemucsButton"},
        {m_separateButton, "separateButton"},
        {m_logView, "logView"},
        {m_stageLabel, "stageLabel"},
        {m_progressBar, "progressBar"},
        {m_playStemsButton, "playStemsButton"},
        {m_showStemsButton, "showStemsButton"},
        {m_stopButton, "stopButton"},
    };
    for (const auto& [object, name] : names)
        object->setObjectName(QLatin1String(name));
    resize(760, 560);
    setWindowTitle(QStringLiteral("Stemloft ") + version);
    setMinimumSize(680, 500);
    buildMenu(cookieBrowsers);
    buildRows();
}

void MainWindow::buildMenu(const QStringList& cookieBrowsers)
{
    QMenuBar* bar = menuBar();

    // "&": Alt+S and Alt+E open the menus, so every item is reachable from
    // the keyboard, not only the ones with a shortcut.
    QMenu* appMenu = bar->addMenu(QStringLiteral("&Stemloft"));
    QAction* openStems = appMenu->addAction(QStringLiteral("Open Stems..."));
    openStems->setObjectName(QStringLiteral("openStemsAction"));
    openStems->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    connect(openStems, &QAction::triggered, this, &MainWindow::chooseStemsFolder);
    appMenu->addSeparator();
    connect(appMenu->addAction(QStringLiteral("Open Save Folder")), &QAction::triggered, this,
            &MainWindow::openSaveFolderRequested);
    connect(appMenu->addAction(QStringLiteral("Open Log Folder")), &QAction::triggered, this,
            &MainWindow::openLogFolderRequested);
    m_updateYtDlpAction = appMenu->addAction(QStringLiteral("Update yt-dlp"));
    m_updateYtDlpAction->setObjectName(QStringLiteral("updateYtDlpAction"));
    connect(m_updateYtDlpAction, &QAction::triggered, this, &MainWindow::updateYtDlpRequested);
    appMenu->addSeparator();
    QAction* quit = appMenu->addAction(QStringLiteral("Quit Stemloft"));
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    quit->setMenuRole(QAction::QuitRole);
    connect(quit, &QAction::triggered, this, &MainWindow::quitRequested);

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
        connect(action, &QAction::triggered, [slot] { sendToFocusedTextWidget(slot); });
    }

    // Sites that ask for a signed-in visitor get the cookies of the user's browser.
    QMenu* cookies = bar->addMenu(QStringLiteral("&Cookies"));
    cookies->setObjectName(QStringLiteral("cookiesMenu"));
    auto* browsers = new QActionGroup(cookies);
    browsers->setExclusive(true);
    for (const QString& title : QStringList{QStringLiteral("No Cookies")} + cookieBrowsers) {
        QAction* action = cookies->addAction(title);
        action->setCheckable(true);
        browsers->addAction(action);
        m_cookiesActions << action;
        const QString browser = m_cookiesActions.size() == 1 ? QString() : title;
        connect(action, &QAction::triggered, this, [this, browser] { emit cookiesBrowserChosen(browser); });
    }
    if (m_cookiesActions.size() > 1)
        cookies->insertSeparator(m_cookiesActions[1]);

    QMenu* format = bar->addMenu(QStringLiteral("&Format"));
    format->setObjectName(QStringLiteral("formatMenu"));
    auto* formats = new QActionGroup(format);
    formats->setExclusive(true);
    const std::pair<const char*, separation::ExportFormat> formatItems[] = {
        {"AAC (.m4a)", separation::ExportFormat::aac},
        {"FLAC (lossless)", separation::ExportFormat::flac},
        {"WAV", separation::ExportFormat::wav},
    };
    for (const auto& [title, value] : formatItems) {
        QAction* action = format->addAction(QString::fromLatin1(title));
        action->setCheckable(true);
        formats->addAction(action);
        m_formatActions << action;
        const separation::ExportFormat chosen = value;
        connect(action, &QAction::triggered, this, [this, chosen] { emit exportFormatChosen(chosen); });
    }
    format->addSeparator();
    m_bestQualityAction = format->addAction(QStringLiteral("Best Quality 4-Stem Model (slower)"));
    m_bestQualityAction->setObjectName(QStringLiteral("bestQualityAction"));
    m_bestQualityAction->setCheckable(true);
    connect(m_bestQualityAction, &QAction::triggered, this, &MainWindow::bestQualityChosen);
}

void MainWindow::buildRows()
{
    auto* content = new QWidget;
    setCentralWidget(content);

    QLabel* urlLabel = makeRowLabel(QStringLiteral("URL"), content);
    m_urlField->setPlaceholderText(QStringLiteral("https://www.youtube.com/watch?v=..."));
    m_urlField->setAccessibleName(QStringLiteral("URL"));
    urlLabel->setBuddy(m_urlField);

    // Under the field, for a list too long to read in one line.
    setUpButton(m_editLinksButton, QStringLiteral("Edit Links..."), 110);
    m_editLinksButton->hide();
    connect(m_editLinksButton, &QPushButton::clicked, this, &MainWindow::editLinks);
    connect(m_urlField, &UrlField::linkCountChanged, m_editLinksButton,
            [this](int count) { m_editLinksButton->setVisible(count > 1); });

    setUpButton(m_installButton, QStringLiteral("Install yt-dlp"), 150);
    connect(m_installButton, &QPushButton::clicked, this, &MainWindow::installYtDlpRequested);

    QLabel* folderLabel = makeRowLabel(QStringLiteral("Save Folder"), content);
    m_folderField->setReadOnly(true);
    m_folderField->setAccessibleName(QStringLiteral("Save Folder"));
    folderLabel->setBuddy(m_folderField);

    setUpButton(m_chooseButton, QStringLiteral("Choose..."), 92);
    m_chooseButton->setAccessibleDescription(QStringLiteral("Choose the save folder"));
    connect(m_chooseButton, &QPushButton::clicked, this, &MainWindow::chooseFolder);

    QLabel* audioLabel = makeRowLabel(QStringLiteral("Audio File"), content);
    m_audioField->setReadOnly(true);
    m_audioField->setPlaceholderText(QStringLiteral("Download audio or choose an existing file."));
    m_audioField->setAccessibleName(QStringLiteral("Audio File"));
    audioLabel->setBuddy(m_audioField);

    setUpButton(m_chooseAudioButton, QStringLiteral("Choose..."), 92);
    m_chooseAudioButton->setAccessibleDescription(QStringLiteral("Choose an audio or movie file"));
    connect(m_chooseAudioButton, &QPushButton::clicked, this, &MainWindow::chooseAudioFiles);

    setUpButton(m_installDemucsButton, QStringLiteral("Install Demucs"), 128);
    connect(m_installDemucsButton, &QPushButton::clicked, this, &MainWindow::installDemucsRequested);

    m_separateAfterDownloadBox->setText(QStringLiteral("Separate after download"));
    m_separateAfterDownloadBox->setToolTip(QStringLiteral("Split each download into stems right away"));
    connect(m_separateAfterDownloadBox, &QCheckBox::toggled, this, &MainWindow::separateAfterDownloadChosen);

    m_stemModeControl->setFixedWidth(225);
    m_stemModeControl->setSelectedSegment(2);
    m_stemModeControl->setAccessibleName(QStringLiteral("Stem mode"));

    setUpButton(m_separateButton, QStringLiteral("Separate"), 92);
    connect(m_separateButton, &QPushButton::clicked, this, &MainWindow::separateRequested);

    setUpButton(m_startButton, QStringLiteral("Start"), 92);
    m_startButton->setToolTip(QStringLiteral("Start the download (Return)"));
    connect(m_startButton, &QPushButton::clicked, this, &MainWindow::downloadRequested);

    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPointSizeF(designPoints(12));
    mono.setWeight(QFont::Normal);
    m_logView->setFont(mono);

    // Its text is its name for assistive technology, as for any label.
    m_stageLabel->setAccessibleDescription(QStringLiteral("Status"));
    m_stageLabel->setTextInteractionFlags(Qt::NoTextInteraction);
    m_progressBar->setAccessibleName(QStringLiteral("Progress"));
    m_progressBar->setTextVisible(false);
    setUpButton(m_stopButton, QStringLiteral("Stop"), 92);
    m_stopButton->setToolTip(QStringLiteral("Stop the running task"));
    connect(m_stopButton, &QPushButton::clicked, this, &MainWindow::stopRequested);
    setUpButton(m_showStemsButton, QStringLiteral("Show Stems"), 110);
    m_showStemsButton->setToolTip(QStringLiteral("Open the last stems folder"));
    connect(m_showStemsButton, &QPushButton::clicked, this, &MainWindow::showStemsRequested);
    setUpButton(m_playStemsButton, QStringLiteral("Play Stems"), 110);
    m_playStemsButton->setToolTip(QStringLiteral("Open the last stems in the mixer"));
    connect(m_playStemsButton, &QPushButton::clicked, this, &MainWindow::playStemsRequested);
    showIdleStatus();

    // Drops anywhere go to the window, which sorts files from links.
    setAcceptDrops(true);
    for (QWidget* field : {static_cast<QWidget*>(m_urlField), static_cast<QWidget*>(m_folderField),
                           static_cast<QWidget*>(m_audioField), static_cast<QWidget*>(m_logView)})
        field->setAcceptDrops(false);

    // Rows, top to bottom; the right-hand buttons share Start's right edge.
    auto* rows = new QVBoxLayout(content);
    rows->setContentsMargins(margin, margin, margin, margin);
    rows->setSpacing(0);

    auto* urlRow = new QHBoxLayout;
    urlRow->setSpacing(fieldGap);
    urlRow->addWidget(urlLabel);
    urlRow->addWidget(m_urlField, 1);
    urlRow->addWidget(m_startButton);
    rows->addLayout(urlRow);
    rows->addSpacing(underStartGap);

    auto* installRow = new QHBoxLayout;
    installRow->setSpacing(0);
    installRow->addSpacing(labelWidth + fieldGap);
    installRow->addWidget(m_editLinksButton);
    installRow->addStretch(1);
    installRow->addWidget(m_installButton);
    rows->addLayout(installRow);
    rows->addSpacing(rowGap);

    auto* folderRow = new QHBoxLayout;
    folderRow->setSpacing(fieldGap);
    folderRow->addWidget(folderLabel);
    folderRow->addWidget(m_folderField, 1);
    folderRow->addWidget(m_chooseButton);
    rows->addLayout(folderRow);
    rows->addSpacing(rowGap);

    auto* audioRow = new QHBoxLayout;
    audioRow->setSpacing(fieldGap);
    audioRow->addWidget(audioLabel);
    audioRow->addWidget(m_audioField, 1);
    audioRow->addWidget(m_chooseAudioButton);
    rows->addLayout(audioRow);
    rows->addSpacing(rowGap);

    auto* modeRow = new QHBoxLayout;
    modeRow->setSpacing(0);
    modeRow->addWidget(m_separateAfterDownloadBox);
    modeRow->addSpacing(fieldGap);
    modeRow->addWidget(m_stemModeControl);
    modeRow->addStretch(1);
    modeRow->addWidget(m_installDemucsButton);
    modeRow->addSpacing(fieldGap);
    modeRow->addWidget(m_separateButton);
    rows->addLayout(modeRow);
    rows->addSpacing(rowGap);

    rows->addWidget(m_logView, 1);
    rows->addSpacing(statusGap);

    auto* statusRow = new QHBoxLayout;
    statusRow->setSpacing(fieldGap);
    statusRow->addWidget(m_stageLabel, 1);
    statusRow->addWidget(m_progressBar, 1);
    statusRow->addWidget(m_playStemsButton);
    statusRow->addWidget(m_showStemsButton);
    statusRow->addWidget(m_stopButton);
    rows->addLayout(statusRow);

    // Tab order follows the rows.
    const QList<QWidget*> order = {m_urlField,
                                   m_startButton,
                                   m_editLinksButton,
                                   m_installButton,
                                   m_folderField,
                                   m_chooseButton,
                                   m_audioField,
                                   m_chooseAudioButton,
                                   m_separateAfterDownloadBox,
                                   m_stemModeControl->segmentButton(0),
                                   m_stemModeControl->segmentButton(1),
                                   m_stemModeControl->segmentButton(2),
                                   m_installDemucsButton,
                                   m_separateButton,
                                   m_logView,
                                   m_playStemsButton,
                                   m_showStemsButton,
                                   m_stopButton};
    for (qsizetype i = 1; i < order.size(); ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);

    // Return starts a download whenever Start could be clicked.
    for (int key : {int(Qt::Key_Return), int(Qt::Key_Enter)}) {
        auto* shortcut = new QShortcut(QKeySequence(key), this);
        shortcut->setContext(Qt::WindowShortcut);
        connect(shortcut, &QShortcut::activated, this, [this] {
            if (m_startButton->isEnabled())
                emit downloadRequested();
        });
    }

    showControlStates({});
}

QString MainWindow::urlText() const
{
    return m_urlField->text();
}

void MainWindow::setUrlText(const QString& text)
{
    m_urlField->setText(text);
}

QString MainWindow::saveFolderText() const
{
    return m_folderField->text();
}

void MainWindow::showSaveFolder(const QString& path)
{
    m_folderField->setText(path);
}

void MainWindow::showAudioFiles(const QString& text, const QString& toolTip)
{
    m_audioField->setText(fileops::shownPath(text));
    m_audioField->setToolTip(fileops::shownPath(toolTip));
}

bool MainWindow::separateAfterDownload() const
{
    return m_separateAfterDownloadBox->isChecked();
}

void MainWindow::showSeparateAfterDownload(bool on)
{
    const QSignalBlocker quiet(m_separateAfterDownloadBox);  // showing is not choosing
    m_separateAfterDownloadBox->setChecked(on);
}

SeparationMode MainWindow::separationMode() const
{
    SeparationMode mode = SeparationMode::fromSegment(m_stemModeControl->selectedSegment());
    mode.bestQuality = m_bestQualityAction->isChecked();
    return mode;
}

void MainWindow::showBestQuality(bool on)
{
    m_bestQualityAction->setChecked(on);
}

void MainWindow::showExportFormat(separation::ExportFormat format)
{
    for (qsizetype i = 0; i < m_formatActions.size(); ++i)
        m_formatActions.at(i)->setChecked(i == qsizetype(format));
}

void MainWindow::showCookiesBrowser(const QString& browser)
{
    for (QAction* action : std::as_const(m_cookiesActions)) {
        const bool none = action == m_cookiesActions.first();
        action->setChecked(none ? browser.isEmpty() : action->text() == browser);
    }
}

void MainWindow::setYtDlpButton(const QString& title, const QString& toolTip)
{
    m_installButton->setText(title);
    m_installButton->setToolTip(toolTip);
}

void MainWindow::setYtDlpButtonTitle(const QString& title)
{
    m_installButton->setText(title);
}

void MainWindow::setDemucsButtonTitle(const QString& title)
{
    m_installDemucsButton->setText(title);
}

void MainWindow::appendLogEntries(const QStringList& entries)
{
    m_logView->appendEntries(entries);
}

void MainWindow::clearLog()
{
    m_logView->clearEntries();
}

void MainWindow::showStage(const QString& text)
{
    m_stageLabel->setText(text);
}

void MainWindow::showProgress(int percent)
{
    if (percent < 0) {
        m_progressBar->setRange(0, 0);  // busy indicator
        return;
    }
    m_progressBar->setRange(0, 100);
    m_progressBar->setValue(percent);
}

void MainWindow::showIdleStatus()
{
    m_stageLabel->setText(QStringLiteral("Ready"));
    m_progressBar->setRange(0, 100);
    m_progressBar->reset();
}

void MainWindow::showControlStates(const ControlStates& states)
{
    const bool busy = states.busy;
    QWidget* focused = QApplication::focusWidget();
    const bool focusInWindow = focused && isAncestorOf(focused);
    if (busy && focusInWindow && !m_focusBeforeBusy)
        m_focusBeforeBusy = focused;

    m_startButton->setEnabled(!busy);
    m_chooseButton->setEnabled(!busy);
    m_chooseAudioButton->setEnabled(!busy);
    m_installButton->setEnabled(!busy && !states.ytDlpInstalled);
    m_installDemucsButton->setEnabled(!busy);
    m_updateYtDlpAction->setEnabled(!busy);
    m_stemModeControl->setEnabled(!busy);
    m_separateButton->setEnabled(!busy && states.hasAudio);
    m_urlField->setEnabled(!busy);
    m_editLinksButton->setEnabled(!busy);
    m_stopButton->setEnabled(busy && !states.stopping);
    // Choices a running job has already read.
    m_separateAfterDownloadBox->setEnabled(!busy);
    for (QAction* action : std::as_const(m_formatActions))
        action->setEnabled(!busy);
    m_bestQualityAction->setEnabled(!busy);
    m_showStemsButton->setEnabled(states.hasStems);
    m_playStemsButton->setEnabled(states.hasStems);

    if (busy) {
        if (m_focusBeforeBusy && !m_focusWhileBusy)
            m_focusWhileBusy = QApplication::focusWidget();
    } else if (m_focusBeforeBusy) {
        // Only undo the move the disabling caused, not a choice the user made.
        if (QApplication::focusWidget() == m_focusWhileBusy && m_focusBeforeBusy->isEnabled())
            m_focusBeforeBusy->setFocus(Qt::OtherFocusReason);
        m_focusBeforeBusy = nullptr;
        m_focusWhileBusy = nullptr;
    }
}

namespace {

QMessageBox* makeMessageBox(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text)
{
    auto* box = new QMessageBox(icon, title, title, QMessageBox::NoButton, parent);
    box->setInformativeText(text);
    // A sheet-like width, so a path in the text is not wrapped word by word.
    box->setStyleSheet(QStringLiteral("QLabel#qt_msgbox_label, QLabel#qt_msgbox_informativelabel "
                                      "{ min-width: 300px; }"));
    box->setWindowModality(Qt::WindowModal);
    box->setAttribute(Qt::WA_DeleteOnClose);
    return box;
}

}  // namespace

void MainWindow::showAlert(const Alert& alert)
{
    if (!isVisible())
        return;
    const QMessageBox::Icon icon =
        alert.severity == Alert::Severity::warning ? QMessageBox::Warning : QMessageBox::Information;
    QMessageBox* box = makeMessageBox(this, icon, alert.title, alert.text);
    box->addButton(QMessageBox::Ok);
    box->open();  // returns at once; nothing waits for the user
    emit alertShown(alert);
}

QObject* MainWindow::askQuestion(const QString& title, const QString& text, const QString& acceptLabel,
                                 std::function<void(bool)> answer)
{
    QMessageBox* box = makeMessageBox(this, QMessageBox::Question, title, text);
    QPushButton* accept = box->addButton(acceptLabel, QMessageBox::AcceptRole);
    // Every question ends something for good; Return alone must not say yes.
    QPushButton* cancel = box->addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    box->setDefaultButton(cancel);
    box->setEscapeButton(cancel);
    connect(box, &QMessageBox::finished, this, [box, accept, answer] { answer(box->clickedButton() == accept); });
    box->open();
    return box;
}

QObject* MainWindow::chooseRecording(const QStringList& labels, std::function<void(int)> answer)
{
    auto* chooser = new RecordingChooser(labels, this);
    chooser->setWindowModality(Qt::WindowModal);
    chooser->setAttribute(Qt::WA_DeleteOnClose);
    // Once: Enter on the list both activates the row and presses Download.
    connect(chooser, &QDialog::finished, this, [chooser, answer = std::move(answer)]() mutable {
        if (auto once = std::exchange(answer, nullptr))
            once(chooser->chosenIndex());
    });
    chooser->open();
    return chooser;
}

void MainWindow::raiseQuestion(QObject* question)
{
    if (auto* box = qobject_cast<QDialog*>(question))
        box->raise();
}

void MainWindow::closeQuestion(QObject* question)
{
    if (auto* box = qobject_cast<QDialog*>(question))
        box->close();
}

void MainWindow::present()
{
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
    show();
    raise();
    activateWindow();
    if (QWindow* handle = windowHandle())
        handle->installEventFilter(this);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Expose && watched == windowHandle()) {
        watched->removeEventFilter(this);
        emit firstExposed();
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (m_closeAsksToQuit) {
        event->ignore();
        emit quitRequested();
        return;
    }
    QMainWindow::closeEvent(event);
}

// Taken whatever it holds, so what cannot be used is named in the log.
void MainWindow::dragEnterEvent(QDragEnterEvent* event)
{
    if (event->mimeData()->hasUrls() || event->mimeData()->hasText())
        event->acceptProposedAction();
}

void MainWindow::dragMoveEvent(QDragMoveEvent* event)
{
    if (event->mimeData()->hasUrls() || event->mimeData()->hasText())
        event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent* event)
{
    emit dropped(event->mimeData()->urls(), event->mimeData()->text());
    event->acceptProposedAction();
}

QStringList MainWindow::audioChooserNameFilters()
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

void MainWindow::chooseFolder()
{
    const QString path =
        QFileDialog::getExistingDirectory(this, QStringLiteral("Choose Save Folder"), m_folderField->text());
    if (!path.isEmpty())  // empty: cancelled
        emit folderChosen(path);
}

void MainWindow::chooseStemsFolder()
{
    const QString path = QFileDialog::getExistingDirectory(this, QStringLiteral("Open Stems"), m_folderField->text());
    if (!path.isEmpty())  // empty: cancelled
        emit stemsFolderChosen(path);
}

void MainWindow::editLinks()
{
    auto* dialog = new QDialog(this);
    dialog->setObjectName(QStringLiteral("linksDialog"));
    dialog->setWindowTitle(QStringLiteral("Edit Links"));
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setAttribute(Qt::WA_DeleteOnClose);

    auto* label = new QLabel(QStringLiteral("&Links"), dialog);
    auto* edit = new QPlainTextEdit(dialog);
    edit->setObjectName(QStringLiteral("linksEdit"));
    edit->setAccessibleName(QStringLiteral("Links"));
    edit->setLineWrapMode(QPlainTextEdit::NoWrap);
    edit->setTabChangesFocus(true);
    label->setBuddy(edit);
    static const QRegularExpression space(QStringLiteral("\\s+"));
    edit->setPlainText(m_urlField->text().split(space, Qt::SkipEmptyParts).join(QLatin1Char('\n')));

    // The count as the queue will have it, while the list is edited.
    auto* count = new QLabel(dialog);
    count->setObjectName(QStringLiteral("linksCount"));
    const auto recount = [edit, count] {
        count->setText(UrlField::linksText(UrlField::linksIn(edit->toPlainText())));
    };
    recount();
    connect(edit, &QPlainTextEdit::textChanged, count, recount);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dialog);
    connect(buttons, &QDialogButtonBox::accepted, dialog, [this, dialog, edit] {
        m_urlField->replaceText(edit->toPlainText());
        dialog->accept();
    });
    connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);

    auto* column = new QVBoxLayout(dialog);
    column->addWidget(label);
    column->addWidget(edit, 1);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(count, 1);
    bottom->addWidget(buttons);
    column->addLayout(bottom);
    dialog->resize(620, 420);
    dialog->open();
}

void MainWindow::chooseAudioFiles()
{
    QFileDialog dialog(this, QStringLiteral("Choose Audio File"), m_folderField->text());
    dialog.setFileMode(QFileDialog::ExistingFiles);
    dialog.setNameFilters(audioChooserNameFilters());
    if (dialog.exec() != QDialog::Accepted)
        return;
    const QStringList files = dialog.selectedFiles();
    if (!files.isEmpty())
        emit audioFilesChosen(files);
}
