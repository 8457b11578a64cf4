#include "gui/mixer/MixerWindow.h"

#include "gui/LogView.h"
#include "gui/mixer/MixerController.h"
#include "gui/mixer/WaveformView.h"
#include "mixer/MixRules.h"
#include "mixer/StemLoader.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QShortcut>
#include <QSlider>
#include <QVBoxLayout>

#include <climits>
#include <cmath>

namespace {

constexpr int tempoStep = 5;      // percent
constexpr int positionStepSeconds = 5;

QPushButton* makeButton(const QString& text, QWidget* parent, bool checkable = false)
{
    auto* button = new QPushButton(text, parent);
    button->setCheckable(checkable);
    button->setAutoDefault(false);
    button->setFocusPolicy(Qt::StrongFocus);
    return button;
}

QString percentText(int percent)
{
    return QString::number(percent) + QStringLiteral(" %");
}

QString semitonesText(int semitones)
{
    return semitones > 0 ? QStringLiteral("+") + QString::number(semitones) : QString::number(semitones);
}

// The widest of texts in the label's font, so a changing value never moves its neighbours.
void fixWidthFor(QLabel* label, const QStringList& texts)
{
    int width = 0;
    for (const QString& text : texts)
        width = std::max(width, label->fontMetrics().horizontalAdvance(text));
    label->setFixedWidth(width + 4);
}

}  // namespace

MixerWindow::MixerWindow(const PlatformProfile& profile, mixer::StemFolder folder, QWidget* parent)
    : QWidget(parent),
      m_controller(new MixerController(profile, std::move(folder), this)),
      m_statusLabel(new QLabel(this)),
      m_deviceLabel(new QLabel(this)),
      m_playButton(makeButton(QStringLiteral("Play"), this)),
      m_positionSlider(new QSlider(Qt::Horizontal, this)),
      m_timeLabel(new QLabel(this)),
      m_loopButton(makeButton(QStringLiteral("Loop"), this, true)),
      m_tempoSlider(new QSlider(Qt::Horizontal, this)),
      m_tempoText(new QLabel(this)),
      m_pitchSlider(new QSlider(Qt::Horizontal, this)),
      m_pitchText(new QLabel(this)),
      m_saveButton(makeButton(QStringLiteral("Save Mix..."), this)),
      m_logView(new LogView(this))
{
    setWindowFlag(Qt::Window);
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Stemloft Mixer — ") + m_controller->folder().name);
    const std::pair<QObject*, const char*> names[] = {
        {m_statusLabel, "statusLabel"},   {m_deviceLabel, "deviceLabel"}, {m_playButton, "playButton"},
        {m_positionSlider, "positionSlider"}, {m_timeLabel, "timeLabel"}, {m_loopButton, "loopButton"},
        {m_tempoSlider, "tempoSlider"},   {m_tempoText, "tempoText"},     {m_pitchSlider, "pitchSlider"},
        {m_pitchText, "pitchText"},       {m_saveButton, "saveMixButton"}, {m_logView, "logView"},
    };
    for (const auto& [object, name] : names)
        object->setObjectName(QLatin1String(name));

    chooseMixPath = [this](const QString& suggested) {
        const QString extension = QFileInfo(suggested).suffix();
        const QStringList filters = {QStringLiteral("AAC (*.m4a)"), QStringLiteral("FLAC (*.flac)"),
                                     QStringLiteral("WAV (*.wav)")};
        QString selected;
        for (const QString& filter : filters) {
            if (filter.contains(QStringLiteral("*.") + extension))
                selected = filter;
        }
        // A dialog pointed at a folder that is not there opens somewhere else.
        QDir().mkpath(QFileInfo(suggested).path());
        return QFileDialog::getSaveFileName(this, QStringLiteral("Save Mix"), suggested,
                                            filters.join(QStringLiteral(";;")), &selected);
    };

    buildRows();
    buildShortcuts();
    connectController();
    m_statusLabel->setText(QStringLiteral("Decoding…"));
    if (!m_controller->hasAudioOutput())
        m_deviceLabel->setText(QStringLiteral("No audio output device was found."));
    m_deviceLabel->setVisible(!m_controller->hasAudioOutput());
    showPosition(0, 0);
    updateControls();
    if (!m_controller->start())
        m_statusLabel->setText(QStringLiteral("The stems cannot be decoded."));
}

MixerWindow::~MixerWindow()
{
    // The controller stops the sound before the widgets that show it go.
    m_controller->disconnect(this);
    delete m_controller;
}

void MixerWindow::buildRows()
{
    const mixer::StemFolder& folder = m_controller->folder();
    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(10);
    grid->setVerticalSpacing(8);
    grid->setColumnStretch(1, 1);
    int nameWidth = 0;
    for (int i = 0; i < folder.stems.size(); ++i) {
        const QString name = folder.stems[i].name;
        Row row;
        row.name = new QLabel(name, this);
        QFont bold = row.name->font();
        bold.setWeight(QFont::DemiBold);
        row.name->setFont(bold);
        nameWidth = std::max(nameWidth, row.name->fontMetrics().horizontalAdvance(name));
        row.waveform = new WaveformView(name, this);
        row.waveform->setPeaks(&m_controller->loader().peaks(i));
        row.mute = makeButton(QStringLiteral("Mute"), this, true);
        row.mute->setAccessibleDescription(QStringLiteral("Mute ") + name);
        row.solo = makeButton(QStringLiteral("Solo"), this, true);
        row.solo->setAccessibleDescription(QStringLiteral("Solo ") + name);
        // As narrow as their titles allow: the width is the waveform's.
        for (QPushButton* button : {row.mute, row.solo})
            button->setFixedWidth(button->fontMetrics().horizontalAdvance(QStringLiteral("Mute")) + 28);
        row.volume = new QSlider(Qt::Horizontal, this);
        row.volume->setRange(0, 100);
        row.volume->setValue(100);
        row.volume->setSingleStep(5);
        row.volume->setPageStep(10);
        row.volume->setAccessibleName(name + QStringLiteral(" volume"));
        row.volume->setFixedWidth(110);
        row.volumeText = new QLabel(percentText(100), this);
        row.volumeText->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        fixWidthFor(row.volumeText, {percentText(100)});
        row.name->setBuddy(row.waveform);
        const std::pair<QObject*, QString> rowNames[] = {
            {row.waveform, QStringLiteral("waveform-")}, {row.mute, QStringLiteral("muteButton-")},
            {row.solo, QStringLiteral("soloButton-")},   {row.volume, QStringLiteral("volumeSlider-")},
        };
        for (const auto& [object, prefix] : rowNames)
            object->setObjectName(prefix + name);

        connect(row.mute, &QPushButton::toggled, this, [this, i](bool on) {
            m_controller->setMuted(i, on);
            showAudible();
        });
        connect(row.solo, &QPushButton::toggled, this, [this, i](bool on) {
            m_controller->setSolo(i, on);
            showAudible();
        });
        QLabel* volumeText = row.volumeText;
        connect(row.volume, &QSlider::valueChanged, this, [this, i, volumeText](int value) {
            volumeText->setText(percentText(value));
            m_controller->setVolume(i, value / 100.0);
            showAudible();
        });
        connect(row.waveform, &WaveformView::seekRequested, m_controller, &MixerController::seek);
        connect(row.waveform, &WaveformView::loopSelected, m_controller, &MixerController::setLoopRegion);

        grid->addWidget(row.name, i, 0);
        grid->addWidget(row.waveform, i, 1);
        grid->addWidget(row.mute, i, 2);
        grid->addWidget(row.solo, i, 3);
        grid->addWidget(row.volume, i, 4);
        grid->addWidget(row.volumeText, i, 5);
        m_rows << row;
    }
    grid->setColumnMinimumWidth(0, nameWidth + 8);

    // Transport: Play, where, how long, Loop.
    m_playButton->setMinimumWidth(m_playButton->fontMetrics().horizontalAdvance(QStringLiteral("Pause")) + 32);
    m_playButton->setToolTip(QStringLiteral("Play or pause (Space)"));
    m_positionSlider->setAccessibleName(QStringLiteral("Position"));
    m_positionSlider->setRange(0, 0);
    m_loopButton->setToolTip(QStringLiteral(
        "Repeat the selected region, or the whole recording (L). Drag across a waveform to select a region, or "
        "press [ at its start and ] at its end while it plays."));
    m_timeLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    fixWidthFor(m_timeLabel, {QStringLiteral("0:00:00 / 0:00:00")});
    connect(m_playButton, &QPushButton::clicked, m_controller, &MixerController::togglePlaying);
    connect(m_loopButton, &QPushButton::toggled, m_controller, &MixerController::setLoopEnabled);
    connect(m_positionSlider, &QSlider::valueChanged, m_controller, [this](int value) { m_controller->seek(value); });
    auto* transport = new QHBoxLayout;
    transport->setSpacing(10);
    transport->addWidget(m_playButton);
    transport->addWidget(m_positionSlider, 1);
    transport->addWidget(m_timeLabel);
    transport->addWidget(m_loopButton);

    // Practice: tempo and pitch, each keeping the other; then Save Mix.
    auto* tempoLabel = new QLabel(QStringLiteral("Tempo"), this);
    tempoLabel->setBuddy(m_tempoSlider);
    m_tempoSlider->setAccessibleName(QStringLiteral("Tempo"));
    m_tempoSlider->setRange(int(std::lround(mixer::minTempo * 100)) / tempoStep,
                            int(std::lround(mixer::maxTempo * 100)) / tempoStep);
    m_tempoSlider->setValue(100 / tempoStep);
    m_tempoSlider->setPageStep(2);
    m_tempoSlider->setFixedWidth(160);
    m_tempoText->setText(percentText(100));
    fixWidthFor(m_tempoText, {percentText(150)});
    connect(m_tempoSlider, &QSlider::valueChanged, this, [this](int steps) {
        m_tempoText->setText(percentText(steps * tempoStep));
        m_controller->setTempo(steps * tempoStep / 100.0);
    });
    auto* pitchLabel = new QLabel(QStringLiteral("Pitch"), this);
    pitchLabel->setBuddy(m_pitchSlider);
    m_pitchSlider->setAccessibleName(QStringLiteral("Pitch"));
    m_pitchSlider->setRange(-mixer::maxPitchSemitones, mixer::maxPitchSemitones);
    m_pitchSlider->setValue(0);
    m_pitchSlider->setPageStep(1);
    m_pitchSlider->setFixedWidth(160);
    m_pitchSlider->setToolTip(QStringLiteral("Semitones"));
    m_pitchText->setText(semitonesText(0));
    fixWidthFor(m_pitchText, {semitonesText(-12), semitonesText(12)});
    connect(m_pitchSlider, &QSlider::valueChanged, this, [this](int semitones) {
        m_pitchText->setText(semitonesText(semitones));
        m_controller->setPitch(semitones);
    });
    m_saveButton->setToolTip(QStringLiteral("Save what is heard as a file in mixes"));
    connect(m_saveButton, &QPushButton::clicked, this, &MixerWindow::saveMix);
    auto* practice = new QHBoxLayout;
    practice->setSpacing(10);
    practice->addWidget(tempoLabel);
    practice->addWidget(m_tempoSlider);
    practice->addWidget(m_tempoText);
    practice->addSpacing(20);
    practice->addWidget(pitchLabel);
    practice->addWidget(m_pitchSlider);
    practice->addWidget(m_pitchText);
    practice->addStretch(1);
    practice->addWidget(m_saveButton);

    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    m_logView->setFont(mono);
    m_logView->setMinimumHeight(m_logView->fontMetrics().lineSpacing() * 4 + 12);
    m_logView->setAccessibleName(QStringLiteral("Mixer log"));
    m_statusLabel->setAccessibleDescription(QStringLiteral("Status"));
    m_deviceLabel->setWordWrap(true);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(18, 18, 18, 18);
    column->setSpacing(12);
    column->addWidget(m_deviceLabel);
    column->addLayout(grid);
    column->addLayout(transport);
    column->addLayout(practice);
    column->addWidget(m_logView, 1);
    column->addWidget(m_statusLabel);

    // Tab order: row by row, then the transport and the practice controls.
    QList<QWidget*> order;
    for (const Row& row : std::as_const(m_rows))
        order << row.waveform << row.mute << row.solo << row.volume;
    order << m_playButton << m_positionSlider << m_loopButton << m_tempoSlider << m_pitchSlider << m_saveButton
          << m_logView;
    for (qsizetype i = 1; i < order.size(); ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);

    resize(900, std::max(420, 260 + int(m_rows.size()) * 64));
}

void MixerWindow::buildShortcuts()
{
    const auto add = [this](QKeySequence keys, auto action) {
        auto* shortcut = new QShortcut(keys, this);
        shortcut->setContext(Qt::WindowShortcut);
        connect(shortcut, &QShortcut::activated, this, action);
    };
    add(QKeySequence(Qt::Key_L), [this] {
        if (m_loopButton->isEnabled())
            m_loopButton->toggle();
    });
    add(QKeySequence(Qt::Key_M), [this] {
        if (const int row = focusedRow(); row >= 0)
            m_rows[row].mute->toggle();
    });
    add(QKeySequence(Qt::Key_S), [this] {
        if (const int row = focusedRow(); row >= 0)
            m_rows[row].solo->toggle();
    });
    for (int i = 0; i < std::min<int>(6, int(m_rows.size())); ++i)
        add(QKeySequence(Qt::Key_1 + i), [this, i] { m_rows[i].mute->toggle(); });
    // The loop's ends at what is heard, as the bar goes by: a loop from the
    // keyboard alone. An end before the start leaves only the new one set.
    add(QKeySequence(Qt::Key_BracketLeft), [this] {
        const qint64 at = m_controller->position();
        m_controller->setLoopRegion(at, m_controller->loopEnd() > at ? m_controller->loopEnd() : 0);
    });
    add(QKeySequence(Qt::Key_BracketRight), [this] {
        const qint64 at = m_controller->position();
        m_controller->setLoopRegion(m_controller->loopStart() < at ? m_controller->loopStart() : 0, at);
    });
}

// Space plays and pauses unless the focused widget takes it: a button
// presses itself, so every button stays usable from the keyboard.
void MixerWindow::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Space && event->modifiers() == Qt::NoModifier) {
        if (m_playButton->isEnabled())
            m_controller->togglePlaying();
        return;
    }
    QWidget::keyPressEvent(event);
}

void MixerWindow::showAudible()
{
    const QList<mixer::StemSetting>& stems = m_controller->settings().stems;
    const bool soloing = mixer::anySolo(stems);
    for (int i = 0; i < m_rows.size(); ++i)
        m_rows[i].waveform->setAudible(mixer::effectiveGain(stems[i], soloing) > 0);
}

int MixerWindow::focusedRow() const
{
    const QWidget* focused = focusWidget();
    for (int i = 0; i < m_rows.size(); ++i) {
        const Row& row = m_rows[i];
        for (const QWidget* widget : {static_cast<const QWidget*>(row.name), static_cast<const QWidget*>(row.waveform),
                                      static_cast<const QWidget*>(row.mute), static_cast<const QWidget*>(row.solo),
                                      static_cast<const QWidget*>(row.volume)}) {
            if (focused == widget)
                return i;
        }
    }
    return -1;
}

void MixerWindow::connectController()
{
    MixerController* c = m_controller;
    connect(c, &MixerController::logEntries, m_logView, &LogView::appendEntries);
    connect(c, &MixerController::alert, this, &MixerWindow::showAlert);
    connect(c, &MixerController::playable, this, [this] {
        m_statusLabel->clear();
        for (const Row& row : std::as_const(m_rows))
            row.waveform->setSampleRate(m_controller->sampleRate());
        m_positionSlider->setSingleStep(positionStepSeconds * m_controller->sampleRate());
        m_positionSlider->setPageStep(6 * positionStepSeconds * m_controller->sampleRate());
        updateControls();
    });
    connect(c, &MixerController::decodingFinished, this, [this](bool ok) {
        if (!ok)
            m_statusLabel->setText(QStringLiteral("The stems cannot be decoded."));
        updateControls();
    });
    connect(c, &MixerController::peaksAdded, this, [this](int stem) {
        m_rows[stem].waveform->setLength(m_controller->length());
        m_rows[stem].waveform->update();
    });
    connect(c, &MixerController::positionChanged, this, &MixerWindow::showPosition);
    connect(c, &MixerController::playingChanged, this, &MixerWindow::showPlaying);
    connect(c, &MixerController::loopChanged, this, &MixerWindow::showLoop);
    connect(c, &MixerController::savingChanged, this, [this] { updateControls(); });
}

void MixerWindow::showPosition(qint64 frame, qint64 length)
{
    if (!m_positionSlider->isSliderDown()) {
        const QSignalBlocker quiet(m_positionSlider);  // showing is not seeking
        m_positionSlider->setRange(0, int(std::min<qint64>(length, INT_MAX)));
        m_positionSlider->setValue(int(std::min<qint64>(frame, INT_MAX)));
    }
    const int rate = m_controller->sampleRate();
    m_timeLabel->setText(MixerController::timeText(frame, rate) + QStringLiteral(" / ") +
                         MixerController::timeText(length, rate));
    for (const Row& row : std::as_const(m_rows)) {
        row.waveform->setLength(length);
        row.waveform->setPosition(frame);
    }
}

void MixerWindow::showPlaying(bool playing)
{
    m_playButton->setText(playing ? QStringLiteral("Pause") : QStringLiteral("Play"));
}

void MixerWindow::showLoop()
{
    const QSignalBlocker quiet(m_loopButton);
    m_loopButton->setChecked(m_controller->loopEnabled());
    for (const Row& row : std::as_const(m_rows))
        row.waveform->setLoopRegion(m_controller->loopStart(), m_controller->loopEnd(), m_controller->loopEnabled());
}

void MixerWindow::updateControls()
{
    const bool playback = m_controller->hasAudioOutput() && m_controller->isPlayable();
    m_playButton->setEnabled(playback);
    m_positionSlider->setEnabled(playback);
    m_loopButton->setEnabled(playback);
    m_saveButton->setEnabled(!m_controller->isSaving());
}

void MixerWindow::saveMix()
{
    if (m_controller->isSaving())
        return;
    const QString suggested = m_controller->suggestedMixPath();
    // The dialog opens in mixes/, which the first save makes.
    QDir().mkpath(QFileInfo(suggested).absolutePath());
    const QString path = chooseMixPath(suggested);
    if (!path.isEmpty())
        m_controller->saveMix(path);
}

void MixerWindow::showAlert(const Alert& alert)
{
    if (!isVisible())
        return;
    const QMessageBox::Icon icon =
        alert.severity == Alert::Severity::warning ? QMessageBox::Warning : QMessageBox::Information;
    auto* box = new QMessageBox(icon, alert.title, alert.title, QMessageBox::Ok, this);
    box->setInformativeText(alert.text);
    box->setWindowModality(Qt::WindowModal);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
    emit alertShown(alert);
}
