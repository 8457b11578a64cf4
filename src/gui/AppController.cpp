#include "gui/AppController.h"

#include "base/AppError.h"
#include "base/FileOps.h"
#include "jobs/JobQueue.h"
#include "jobs/SaveFolderCheck.h"
#include "logs/RunLog.h"
#include "separation/Leftovers.h"
#include "session/LeftoverSweep.h"
#include "process/ChildProcess.h"
#include "gui/widgets/PathField.h"
#include "gui/widgets/SegmentedControl.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QDateTime>
#include <QDesktopServices>
#include <QUrl>
#include <QFileInfo>
#include <QLabel>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMainWindow>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSettings>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QThread>
#include <QTimer>
#include <QWindow>

AppDelegate::AppDelegate(PlatformProfile profile, QObject* parent)
    : QObject(parent),
      window(new QMainWindow),
      urlField(new PathField(window)),
      folderField(new PathField(window)),
      audioField(new PathField(window)),
      chooseButton(new QPushButton(window)),
      chooseAudioButton(new QPushButton(window)),
      installButton(new QPushButton(window)),
      installDemucsButton(new QPushButton(window)),
      startButton(new QPushButton(window)),
      separateButton(new QPushButton(window)),
      stemModeControl(new SegmentedControl({QStringLiteral("4 tracks"), QStringLiteral("6 tracks")}, window)),
      logView(new QPlainTextEdit(window)),
      stageLabel(new QLabel(window)),
      progressBar(new QProgressBar(window)),
      stopButton(new QPushButton(window)),
      showStemsButton(new QPushButton(window)),
      separateAfterDownloadBox(new QCheckBox(window)),
      m_profile(std::move(profile)),
      m_settings(Toolbox::openSettings(m_profile)),
      m_tools(m_profile, *m_settings)
{
    window->resize(760, 560);
    window->setAttribute(Qt::WA_DeleteOnClose, false);
    window->installEventFilter(this);
    openUrl = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
    connect(&m_jobs, &JobQueue::jobStarted, this, &AppDelegate::onJobStarted);
    connect(&m_jobs, &JobQueue::jobFinished, this, &AppDelegate::onJobFinished);
}

AppDelegate::~AppDelegate()
{
    window->removeEventFilter(this);
    // The queue goes first: its jobs stop and reap their children.
    m_jobs.disconnect(this);
    delete m_demucsProbe.data();
    if (m_leftoverSweep)
        m_leftoverSweep->wait();
    delete window;
}

void AppDelegate::applicationDidFinishLaunching()
{
    buildMenu();
    buildUI();
    restoreFolder();
    updateYtDlpInstallStatus();
    installDemucsButton->setText(QStringLiteral("Install Demucs"));
    appendLog(QStringLiteral("Ready. Version: ") + appVersion);
    appendYtDlpInstallStatusLog();
    appendLog(QStringLiteral("Paste a YouTube URL, choose a save folder, then click Start."));
    appendLog(QStringLiteral("After download, install Demucs once and click Separate to create compressed stems."));
    // The save folder shown, else the default a run would use.
    const QString shown = folderField->text();
    m_leftoverSweep = sweepLeftoversInBackground(
        m_profile.tempDir, shown.startsWith(QLatin1Char('/')) ? shown : defaultSaveFolder(), this,
        [this](const leftovers::Swept& swept) {
            if (swept.items > 0)
                appendLog(leftovers::removedMessage(swept.bytes));
        });

    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = window->frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        window->move(frame.topLeft());
    }
    window->show();
    window->raise();
    window->activateWindow();
    // Importing torch takes seconds; the window does not wait for it, nor for
    // starting the probe: that begins once the window is on screen.
    m_demucsCheckPending = true;
    if (QWindow* handle = window->windowHandle())
        handle->installEventFilter(this);
    QTimer::singleShot(500, this, [this] {
        if (m_demucsCheckPending)
            refreshDemucsStatus();
    });
}

void AppDelegate::appendLog(const QString& text)
{
    appendLogEntries({text});
}

void AppDelegate::appendLogEntries(const QStringList& texts)
{
    QStringList entries;
    entries.reserve(texts.size());
    for (const QString& text : texts) {
        const QString entry = text.trimmed();
        if (!entry.isEmpty())
            entries << entry;
    }
    if (entries.isEmpty())
        return;
    m_runLog.write(entries);
    // Laying out a line of megabytes takes the window for seconds: the view
    // shows its start, the log file all of it.
    for (QString& entry : entries)
        entry = logs::displayEntry(entry);
    // One insertion for many entries: a chatty child's chunk costs one layout
    // pass instead of one per line.
    QString joined = entries.join(QLatin1Char('\n'));
    QTextDocument* document = logView->document();
    if (!document->isEmpty())
        joined.prepend(QLatin1Char('\n'));
    QTextCursor cursor(document);
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(joined, QTextCharFormat());
    dropOldLogEntries();
    QScrollBar* bar = logView->verticalScrollBar();
    bar->setValue(bar->maximum());
}

void AppDelegate::dropOldLogEntries()
{
    // Removed per insertion with one cursor: measured faster for a flood of
    // lines than the document's own block limit, which slows every insertion.
    QTextDocument* document = logView->document();
    const int kept = m_logEntriesDropped ? 1 : 0;  // the note line stays
    const int excess = document->blockCount() - kept - maxLogEntries;
    if (excess <= 0)
        return;
    QTextCursor cursor(document->findBlockByNumber(kept));
    cursor.setPosition(document->findBlockByNumber(kept + excess).position(), QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
    if (!m_logEntriesDropped) {
        cursor.movePosition(QTextCursor::Start);
        cursor.insertText(logs::droppedEntriesNote() + QLatin1Char('\n'), QTextCharFormat());
        m_logEntriesDropped = true;
    }
}

void AppDelegate::clearLog()
{
    logView->clear();
    m_logEntriesDropped = false;
}

void AppDelegate::showAlert(const QString& title, const QString& message)
{
    if (!window->isVisible())
        return;
    const QMessageBox::Icon icon = title.toLower().contains(QLatin1String("fail"))
                                       ? QMessageBox::Warning
                                       : QMessageBox::Information;
    auto* box = messageBox(icon, title, message);
    box->addButton(QMessageBox::Ok);
    lastAlert = AlertRecord{title, message, icon};
    ++alertCount;
    box->open();  // returns at once; nothing waits for the user
}

void AppDelegate::updateControlStates(std::optional<bool> running)
{
    const bool busy = running.has_value() ? *running : isBusy();
    QWidget* focused = QApplication::focusWidget();
    const bool focusInWindow = focused && window->isAncestorOf(focused);
    if (busy && focusInWindow && !m_focusBeforeBusy)
        m_focusBeforeBusy = focused;

    startButton->setEnabled(!busy);
    chooseButton->setEnabled(!busy);
    chooseAudioButton->setEnabled(!busy);
    installButton->setEnabled(!busy && !installedYtDlpURL.has_value());
    installDemucsButton->setEnabled(!busy);
    if (updateYtDlpAction)
        updateYtDlpAction->setEnabled(!busy);
    stemModeControl->setEnabled(!busy);
    separateButton->setEnabled(!busy && m_lastAudioURL.has_value());
    urlField->setEnabled(!busy);
    stopButton->setEnabled(busy && !m_stopping);
    // Choices a running job has already read.
    separateAfterDownloadBox->setEnabled(!busy);
    for (QAction* action : std::as_const(formatActions))
        action->setEnabled(!busy);
    if (bestQualityAction)
        bestQualityAction->setEnabled(!busy);
    showStemsButton->setEnabled(!m_lastStemsFolder.isEmpty());

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

void AppDelegate::setLastAudioURL(std::optional<QString> url)
{
    m_lastAudioURL = std::move(url);
    m_audioFiles = m_lastAudioURL ? QStringList{*m_lastAudioURL} : QStringList();
    audioField->setText(m_lastAudioURL.value_or(QString()));
    audioField->setToolTip(QString());
    updateControlStates();
}

void AppDelegate::setAudioFiles(const QStringList& files)
{
    if (files.size() <= 1) {
        setLastAudioURL(files.isEmpty() ? std::nullopt : std::optional<QString>(files.first()));
        return;
    }
    m_audioFiles = files;
    m_lastAudioURL = files.last();
    QStringList names;
    for (const QString& file : files)
        names << fileops::lastComponent(file);
    audioField->setText(QStringLiteral("%1 files: ").arg(files.size()) + names.join(QStringLiteral(", ")));
    audioField->setToolTip(files.join(QLatin1Char('\n')));
    updateControlStates();
}

void AppDelegate::restoreFolder()
{
    folderField->setText(m_tools.storedSaveFolder().value_or(defaultSaveFolder()));
}

void AppDelegate::restoreCookiesBrowser()
{
    m_cookiesBrowser = m_tools.storedCookiesBrowser();
    showCookiesBrowser();
}

void AppDelegate::setCookiesBrowser(const QString& browser)
{
    m_cookiesBrowser = m_profile.cookieBrowsers.contains(browser) ? browser : QString();
    if (m_cookiesBrowser.isEmpty())
        m_settings->remove(QStringLiteral("cookiesFromBrowser"));
    else
        m_settings->setValue(QStringLiteral("cookiesFromBrowser"), m_cookiesBrowser.toLower());
    showCookiesBrowser();
}

void AppDelegate::showCookiesBrowser()
{
    for (QAction* action : std::as_const(cookiesActions)) {
        const bool none = action == cookiesActions.first();
        action->setChecked(none ? m_cookiesBrowser.isEmpty() : action->text() == m_cookiesBrowser);
    }
}

QString AppDelegate::defaultSaveFolder() const
{
    return m_tools.defaultSaveFolder();
}

std::pair<QString, bool> AppDelegate::saveFolderForRun()
{
    const QString shown = folderField->text();
    // An absolute path is kept even when unusable: the job's check says why.
    if (shown.startsWith(QLatin1Char('/')))
        return {shown, false};
    const QString folder = defaultSaveFolder();
    folderField->setText(folder);
    return {folder, true};
}

void AppDelegate::runJob(Job* job)
{
    connect(job, &Job::logCleared, this, &AppDelegate::clearLog);
    connect(job, &Job::logEntries, this, &AppDelegate::appendLogEntries);
    connect(job, &Job::stage, this, &AppDelegate::showStage);
    connect(job, &Job::progress, this, &AppDelegate::showProgress);
    connect(job, &Job::alert, this, [this](const QString& title, const QString& text) {
        m_pendingAlert = std::make_pair(title, text);
    });
    m_jobs.enqueue(job);
    if (!job->hasFinished())
        updateControlStates(true);
}

void AppDelegate::onJobStarted(Job* job)
{
    QString kind = QString::fromLatin1(job->metaObject()->className());
    if (kind.endsWith(QLatin1String("Job")))
        kind.chop(3);
    if (kind.isEmpty())
        kind = QStringLiteral("Task");
    QString folder;
    try {
        folder = logFolder();
    } catch (const AppError&) {
        return;  // no support folder: the view is all there is
    }
    // A support folder that takes no files costs the record, not the run.
    if (!m_runLog.open(folder, kind, QDateTime::currentDateTime()))
        return;
    logs::removeOldRunLogs(folder, keptRunLogs);
    m_runLog.write({QStringLiteral("Stemloft ") + appVersion + QStringLiteral(", ") +
                    QDateTime::currentDateTime().toString(Qt::ISODate)});
}

QString AppDelegate::logFolder() const
{
    return fileops::appendingComponent(appSupportURL(), QStringLiteral("logs"));
}

void AppDelegate::openLogFolder()
{
    try {
        const QString folder = logFolder();
        fileops::createDirectories(folder);
        openUrl(QUrl::fromLocalFile(folder));
    } catch (const AppError& error) {
        appendLog(error.localizedDescription());
    }
}

void AppDelegate::onJobFinished(Job*, Job::Outcome)
{
    m_runLog.close();
    if (isBusy())
        return;  // the next queued job runs; the alert waits for the last one
    m_stopping = false;
    showIdleStatus();
    updateControlStates(false);
    if (const auto alert = std::exchange(m_pendingAlert, std::nullopt))
        showAlert(alert->first, alert->second);
    if (m_quitting)
        quitNow();
}

void AppDelegate::showStage(const QString& text)
{
    if (m_stopping)
        return;  // the job's last stages are no longer news
    stageLabel->setText(text);
}

void AppDelegate::showProgress(int percent)
{
    if (percent < 0) {
        progressBar->setRange(0, 0);  // busy indicator
        return;
    }
    progressBar->setRange(0, 100);
    progressBar->setValue(percent);
}

void AppDelegate::showIdleStatus()
{
    stageLabel->setText(QStringLiteral("Ready"));
    progressBar->setRange(0, 100);
    progressBar->reset();
}

void AppDelegate::stopCurrentJob()
{
    Job* job = currentJob();
    if (!job)
        return;
    // A child gets a few seconds to end; meanwhile the row says so and a
    // second press has nothing more to do.
    m_stopping = true;
    stageLabel->setText(QStringLiteral("Stopping..."));
    stopButton->setEnabled(false);
    job->stop();
}

void AppDelegate::requestQuit()
{
    if (!isBusy()) {
        quitNow();
        return;
    }
    if (m_quitting)
        return;
    if (m_quitQuestion) {
        m_quitQuestion->raise();
        return;
    }
    m_quitQuestion = askQuestion(QStringLiteral("Quit Stemloft?"),
                                 QStringLiteral("A task is still running. Stop it and quit?"),
                                 QStringLiteral("Stop and Quit"), [this](bool stop) {
                                     if (stop)
                                         stopAndQuit();
                                 });
}

QMessageBox* AppDelegate::messageBox(QMessageBox::Icon icon, const QString& title, const QString& text)
{
    auto* box = new QMessageBox(icon, title, title, QMessageBox::NoButton, window);
    box->setInformativeText(text);
    // A sheet-like width, so a path in the text is not wrapped word by word.
    box->setStyleSheet(QStringLiteral("QLabel#qt_msgbox_label, QLabel#qt_msgbox_informativelabel "
                                      "{ min-width: 300px; }"));
    box->setWindowModality(Qt::WindowModal);
    box->setAttribute(Qt::WA_DeleteOnClose);
    return box;
}

QMessageBox* AppDelegate::askQuestion(const QString& title, const QString& text, const QString& acceptLabel,
                                      std::function<void(bool)> answer)
{
    QMessageBox* box = messageBox(QMessageBox::Question, title, text);
    QPushButton* accept = box->addButton(acceptLabel, QMessageBox::AcceptRole);
    // Both questions end something for good; Return alone must not say yes.
    QPushButton* cancel = box->addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    box->setDefaultButton(cancel);
    box->setEscapeButton(cancel);
    connect(box, &QMessageBox::finished, this, [box, accept, answer] { answer(box->clickedButton() == accept); });
    box->open();
    return box;
}

void AppDelegate::stopAndQuit()
{
    if (m_quitQuestion)
        m_quitQuestion->close();
    m_quitting = true;
    if (!isBusy()) {
        quitNow();
        return;
    }
    m_jobs.stopAll();
    if (!m_quitTimer) {
        // A job that does not end in time is deleted: that kills its children.
        m_quitTimer = new QTimer(this);
        m_quitTimer->setSingleShot(true);
        connect(m_quitTimer, &QTimer::timeout, this, &AppDelegate::quitNow);
        m_quitTimer->start(quitWaitMs);
    }
}

void AppDelegate::quitNow()
{
    if (m_quitTimer)
        m_quitTimer->stop();
    ++quitCount;
    QCoreApplication::quit();
}

bool AppDelegate::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Expose && watched == window->windowHandle()) {
        watched->removeEventFilter(this);
        if (m_demucsCheckPending)
            QTimer::singleShot(0, this, [this] {
                if (m_demucsCheckPending)
                    refreshDemucsStatus();
            });
    }
    if (watched == window && (event->type() == QEvent::DragEnter || event->type() == QEvent::DragMove)) {
        // Taken whatever it holds, so what cannot be used is named in the log.
        auto* drag = static_cast<QDragMoveEvent*>(event);
        if (drag->mimeData()->hasUrls() || drag->mimeData()->hasText()) {
            drag->acceptProposedAction();
            return true;
        }
    }
    if (watched == window && event->type() == QEvent::Drop) {
        auto* drop = static_cast<QDropEvent*>(event);
        handleDrop(drop->mimeData()->urls(), drop->mimeData()->text());
        drop->acceptProposedAction();
        return true;
    }
    if (watched == window && event->type() == QEvent::Close && isBusy() && !m_quitting) {
        event->ignore();
        requestQuit();
        return true;
    }
    return QObject::eventFilter(watched, event);
}
