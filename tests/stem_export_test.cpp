#include "support/AppSupport.h"
#include "base/AppError.h"
#include "separation/StemFiles.h"
#include "separation_fixtures.h"
#include "gui/widgets/SegmentedControl.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonArray>
#include <QLineEdit>
#include <QPushButton>
#include <QThread>

#include <gtest/gtest.h>

using separation::findFile;
using separation::sanitizeFileName;
using Mode = SeparationMode;

TEST(SanitizeFileName, ReplacesForbiddenCharactersAndTrimsDotsAndSpaces)
{
    const QList<std::pair<QString, QString>> cases = {
        {QStringLiteral("What? Now: Live"), QStringLiteral("What_ Now_ Live")},
        {QStringLiteral("a:b?c"), QStringLiteral("a_b_c")},
        {QStringLiteral("a<>|b"), QStringLiteral("a___b")},
        {QStringLiteral("x/y\\z\"*"), QStringLiteral("x_y_z__")},
        {QStringLiteral("..hidden "), QStringLiteral("hidden")},
        {QStringLiteral(" . . ."), QStringLiteral("reference")},
        {QString(), QStringLiteral("reference")},
        {QStringLiteral("\tTab") + QChar(0x7f), QStringLiteral("_Tab_")},
        {QStringLiteral("zero") + QChar(0x200b) + QStringLiteral("width"), QStringLiteral("zero_width")},
        {QStringLiteral("tag") + QString::fromUcs4(U"\U000E0041"), QStringLiteral("tag_")},
        {QStringLiteral("_ Müsik 日本 [1] "), QStringLiteral("_ Müsik 日本 [1]")},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(sanitizeFileName(in), out) << in.toStdString();
}

TEST(FindFile, SearchesDeepButSkipsHiddenEntries)
{
    TempWorkspace ws;
    ws.writeFile(QStringLiteral("m/a/b/bass.wav"), "x");
    ws.writeFile(QStringLiteral("m/.cache/drums.wav"), "x");
    ws.writeFile(QStringLiteral("m/.other.wav"), "x");
    ws.writeFile(QStringLiteral("m/Vocals.wav"), "x");
    ws.makeDir(QStringLiteral("m/piano.wav"));
    const QString m = ws.path(QStringLiteral("m"));
    EXPECT_EQ(findFile(QStringLiteral("bass.wav"), m), ws.path(QStringLiteral("m/a/b/bass.wav")));
    EXPECT_EQ(findFile(QStringLiteral("piano.wav"), m), ws.path(QStringLiteral("m/piano.wav")));
    EXPECT_FALSE(findFile(QStringLiteral("drums.wav"), m));
    EXPECT_FALSE(findFile(QStringLiteral(".other.wav"), m));
    EXPECT_FALSE(findFile(QStringLiteral("vocals.wav"), m));
    EXPECT_FALSE(findFile(QStringLiteral("bass.wav"), ws.path(QStringLiteral("missing"))));
}

// A launched controller whose stand-in Demucs writes each stem's name as
// its WAV, and a fake converter: each export comes from a whole separation.
class StemExport : public ::testing::Test {
protected:
    void SetUp() override
    {
        profile = makeTestProfile(ws);
        sepfix::writeFakeConverter(ws, profile.converterPath, ws.path(QStringLiteral("conv-args")), ws.root());
        app = makeApp(profile);
        // The launch's own environment check must not meet the stand-in.
        ASSERT_TRUE(waitUntil([&] { return !app->isCheckingDemucs(); }));
        app->folderField->setText(ws.path(QStringLiteral("save")));
        standIn.argsFile = ws.path(QStringLiteral("demucs-args"));
        standIn.writeStem = QStringLiteral("printf '%s' \"$s\" > \"$dir/$s.wav\"");
        sepfix::writeStandInDemucs(ws, app->tools(), standIn);
    }
    void writeStandIn() { sepfix::writeStandInDemucs(ws, app->tools(), standIn); }
    // Starts a separation and waits for its end, unless a test steers it.
    void start(const QString& audio, const Mode& mode)
    {
        app->stemModeControl->setSelectedSegment(int(mode.kind));
        app->setLastAudioURL(audio);
        app->separateButton->click();
    }
    void separate(const QString& audio, const Mode& mode)
    {
        start(audio, mode);
        ASSERT_TRUE(waitIdle(*app));
    }
    // What the run logged after Demucs's output.
    QStringList exportLog() const
    {
        const QStringList lines = logLines(*app);
        return lines.mid(lines.lastIndexOf(QStringLiteral("100%|#######")) + 1);
    }

    TempWorkspace ws;
    PlatformProfile profile;
    sepfix::StandIn standIn;
    std::unique_ptr<TestApp> app;
};

TEST_F(StemExport, ExportsEveryStemOfTheModeWithAManifest)
{
    const QString audio = ws.writeFile(QStringLiteral("music/Take Five [abc].m4a"), "a");
    const QString stemsDir = ws.path(QStringLiteral("save/stems/Take Five [abc]"));
    // Files in the folder after each run: the four-stem run leaves guitar and
    // piano unlisted, the two-stem one adds the instrumental.
    const struct { Mode mode; QStringList stems; int files; } runs[] = {
        {Mode{Mode::sixStems}, {"vocals", "drums", "bass", "other", "guitar", "piano"}, 7},
        {Mode{Mode::fourStems}, {"vocals", "drums", "bass", "other"}, 7},
        {Mode{Mode::twoStems}, {"vocals", "instrumental"}, 8},
    };
    for (const auto& [mode, expectedStems, files] : runs) {
        SCOPED_TRACE(mode.modeLabel().toStdString());
        ws.writeFile(QStringLiteral("save/stems/Take Five [abc]/vocals.wav"), "stale");
        separate(audio, mode);

        QStringList expectedLog;
        for (const QString& stem : expectedStems)
            expectedLog << QStringLiteral("Encoding %1.m4a...").arg(stem);
        expectedLog << QStringLiteral("Stem separation complete.") << QStringLiteral("Saved stems: ") + stemsDir;
        EXPECT_EQ(exportLog(), expectedLog);
        ASSERT_TRUE(app->lastAlert);
        EXPECT_EQ(app->lastAlert->title, QStringLiteral("Stem Separation Complete"));
        EXPECT_EQ(app->lastAlert->text, QStringLiteral("Stems were saved to ") + stemsDir);
        EXPECT_TRUE(sepfix::outputRoots(profile.tempDir).isEmpty());

        const QJsonObject manifest = sepfix::readJsonObject(stemsDir + QStringLiteral("/manifest.json"));
        EXPECT_EQ(manifest.value(QStringLiteral("mode")).toString(), mode.modeLabel());
        EXPECT_EQ(manifest.value(QStringLiteral("model")).toString(), mode.demucsModel());
        EXPECT_EQ(manifest.value(QStringLiteral("sourceAudioPath")).toString(), audio);
        const QJsonArray stems = manifest.value(QStringLiteral("stems")).toArray();
        ASSERT_EQ(stems.size(), expectedStems.size());
        for (qsizetype i = 0; i < stems.size(); ++i) {
            const QString stem = expectedStems.at(i);
            // Demucs calls the instrumental "no_vocals".
            const QString written = stem == QStringLiteral("instrumental") ? QStringLiteral("no_vocals") : stem;
            const QJsonObject entry = stems.at(i).toObject();
            EXPECT_EQ(entry.value(QStringLiteral("kind")).toString(), stem);
            EXPECT_EQ(entry.value(QStringLiteral("path")).toString(),
                      QStringLiteral("stems/Take Five [abc]/%1.m4a").arg(stem));
            EXPECT_EQ(ws.readFile(QStringLiteral("save/stems/Take Five [abc]/%1.m4a").arg(stem)),
                      "converted:" + written.toUtf8());
            EXPECT_EQ(entry.value(QStringLiteral("size")).toInteger(), 10 + written.size());
        }
        // The stale WAV copy and every temporary file are gone.
        EXPECT_EQ(QDir(stemsDir).entryList(QDir::Files | QDir::Hidden).size(), files);
    }
    EXPECT_EQ(ws.readFile(QStringLiteral("save/stems/Take Five [abc]/piano.m4a")), "converted:piano");
}

TEST_F(StemExport, NamesTheStemsFolderAfterTheSanitizedBaseName)
{
    const Mode mode{Mode::fourStems};
    app->folderField->setText(ws.path(QStringLiteral("new/save")));  // does not exist yet
    separate(ws.writeFile(QStringLiteral("music/What? Now: Live.m4a"), "a"), mode);
    const QString stems = ws.path(QStringLiteral("new/save/stems/What_ Now_ Live"));
    EXPECT_EQ(logLines(*app).last(), QStringLiteral("Saved stems: ") + stems);
    const QJsonObject manifest = sepfix::readJsonObject(stems + QStringLiteral("/manifest.json"));
    EXPECT_EQ(manifest[QStringLiteral("stems")][0][QStringLiteral("path")].toString(),
              QStringLiteral("stems/What_ Now_ Live/vocals.m4a"));

    separate(ws.writeFile(QStringLiteral("music/. . .wav"), "RIFF"), mode);
    EXPECT_EQ(logLines(*app).last(), QStringLiteral("Saved stems: ") + ws.path(QStringLiteral("new/save/stems/reference")));
    EXPECT_TRUE(QFileInfo::exists(ws.path(QStringLiteral("new/save/stems/reference/manifest.json"))));
}

TEST_F(StemExport, SecondRunReplacesFilesAndCreatedAt)
{
    const Mode mode{Mode::fourStems};
    const QString audio = ws.writeFile(QStringLiteral("song.webm"), "a");
    separate(audio, mode);
    const QString stems = ws.path(QStringLiteral("save/stems/song"));
    const QString first = sepfix::readJsonObject(stems + QStringLiteral("/manifest.json"))[QStringLiteral("createdAt")].toString();
    ASSERT_FALSE(first.isEmpty());
    QThread::msleep(1100);  // createdAt counts whole seconds
    // This time Demucs leaves vocals deeper down, with other contents.
    standIn.writeStem = QStringLiteral(
        "if [ $s = vocals ]; then mkdir -p \"$dir/deeper\"; printf 'second take' > \"$dir/deeper/vocals.wav\";"
        " else printf '%s' \"$s\" > \"$dir/$s.wav\"; fi");
    // The run marks its output root as its own.
    standIn.beforeExit = QStringLiteral("cp \"$out/.stemloft-owner\" ") + shellQuote(ws.path(QStringLiteral("owner")));
    writeStandIn();
    // A killed run's half-encoded stem goes; a fresh one may be another
    // instance's encode and stays.
    const QString crashed = ws.writeFile(QStringLiteral("save/stems/song/.drums.m4a.0b9f6a52-4f1e-4c7e-9d3a-6d1c2e8b7a10.tmp"), "12345");
    const QString fresh = ws.writeFile(QStringLiteral("save/stems/song/.bass.m4a.1c2d3e4f-5a6b-4c7d-8e9f-0a1b2c3d4e5f.tmp"), "67");
    const QDateTime old = QDateTime::currentDateTime().addSecs(-7200);
    QFile crashedFile(crashed);
    ASSERT_TRUE(crashedFile.open(QIODevice::ReadWrite) && crashedFile.setFileTime(old, QFileDevice::FileModificationTime));
    crashedFile.close();
    separate(audio, mode);
    const QJsonObject manifest = sepfix::readJsonObject(stems + QStringLiteral("/manifest.json"));
    EXPECT_NE(manifest[QStringLiteral("createdAt")].toString(), first);
    EXPECT_EQ(ws.readFile(stems + QStringLiteral("/vocals.m4a")), "converted:second take");
    EXPECT_EQ(manifest[QStringLiteral("stems")][0][QStringLiteral("size")].toInteger(), 21);
    EXPECT_TRUE(logLines(*app).contains(QStringLiteral("Removed leftovers of an interrupted run (5 bytes).")));
    EXPECT_FALSE(QFileInfo::exists(crashed));
    EXPECT_TRUE(QFileInfo::exists(fresh));
    EXPECT_EQ(QDir(stems).entryList(QDir::Files | QDir::Hidden).size(), 6);  // none of this run's temporaries
    EXPECT_EQ(ws.readFile(QStringLiteral("owner")).split(' ').value(0).toLongLong(), QCoreApplication::applicationPid());
}

// The export is all or nothing: whichever step fails, the earlier export of
// the same file (stems, stale copy and manifest) stays byte for byte as it
// was, and no temporary stem is left beside it.
TEST_F(StemExport, AFailureAtAnyStepLeavesTheEarlierExportAsItWas)
{
    const Mode mode{Mode::fourStems};
    const QString audio = ws.writeFile(QStringLiteral("song.wav"), "RIFF");
    const QString stemsDir = ws.path(QStringLiteral("save/stems/song"));
    const QString bassPid = ws.path(QStringLiteral("pid-bass.wav"));
    const struct {
        const char* step;
        std::function<void()> arrange;
        std::function<void()> steer;  // while the run goes on
        QStringList encoded;
        QString error;
    } cases[] = {
        {"Demucs wrote only some stems",
         [&] { standIn.stems = QStringLiteral("vocals drums"); writeStandIn(); }, {},
         {QStringLiteral("vocals"), QStringLiteral("drums")}, QStringLiteral("Demucs did not produce bass.wav")},
        {"no converter",
         [&] { QFile::remove(profile.converterPath); }, {},
         {QStringLiteral("vocals")}, QStringLiteral("ffmpeg was not found at %1.").arg(profile.converterPath)},
        // bass is still encoding when other fails; it is stopped and its
        // half-written temporary goes too.
        {"a later stem fails while another encodes",
         [&] {
             app->maxParallelEncodes = 2;
             ws.writeFile(QStringLiteral("hold-bass.wav"), {});
             ws.writeFile(QStringLiteral("hold-other.wav"), {});
             ws.writeFile(QStringLiteral("fail-other.wav"), "  Invalid data\n");
         },
         [&] {
             ASSERT_TRUE(waitUntil([&] {
                 return sepfix::recordedPid(bassPid) > 0 &&
                        sepfix::recordedPid(ws.path(QStringLiteral("pid-other.wav"))) > 0;
             }));
             QFile::remove(ws.path(QStringLiteral("hold-other.wav")));
         },
         {QStringLiteral("vocals"), QStringLiteral("drums"), QStringLiteral("bass"), QStringLiteral("other")},
         QStringLiteral("ffmpeg failed for other.wav: Invalid data")},
        {"a folder in the way of a stem",
         [&] { ws.writeFile(QStringLiteral("save/stems/song/bass.m4a/keep"), "x"); }, {},
         {QStringLiteral("vocals"), QStringLiteral("drums"), QStringLiteral("bass"), QStringLiteral("other")},
         QStringLiteral("Could not write \"%1/bass.m4a\": a folder is in the way").arg(stemsDir)},
        {"a folder in the way of the manifest",
         [&] {
             QFile::remove(stemsDir + QStringLiteral("/manifest.json"));
             ws.writeFile(QStringLiteral("save/stems/song/manifest.json/keep"), "x");
         }, {},
         {QStringLiteral("vocals"), QStringLiteral("drums"), QStringLiteral("bass"), QStringLiteral("other")},
         QStringLiteral("Could not write \"%1/manifest.json\": a folder is in the way").arg(stemsDir)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.step);
        QDir(stemsDir).removeRecursively();
        ws.writeFile(QStringLiteral("save/stems/song/vocals.m4a"), "earlier vocals");
        ws.writeFile(QStringLiteral("save/stems/song/drums.m4a"), "earlier drums");
        ws.writeFile(QStringLiteral("save/stems/song/vocals.wav"), "stale copy");
        ws.writeFile(QStringLiteral("save/stems/song/manifest.json"), "earlier manifest");
        c.arrange();
        const auto earlier = sepfix::folderSnapshot(stemsDir);
        const int alerts = app->alertCount;

        start(audio, mode);
        if (c.steer)
            c.steer();
        ASSERT_TRUE(waitIdle(*app));

        QStringList expectedLog;
        for (const QString& stem : c.encoded)
            expectedLog << QStringLiteral("Encoding %1.m4a...").arg(stem);
        expectedLog << QStringLiteral("Failed to save stems: ") + c.error;
        EXPECT_EQ(exportLog(), expectedLog);
        EXPECT_EQ(app->alertCount, alerts + 1);
        ASSERT_TRUE(app->lastAlert);
        EXPECT_EQ(app->lastAlert->title, QStringLiteral("Stem Save Failed"));
        EXPECT_EQ(app->lastAlert->text, c.error);
        EXPECT_EQ(app->lastAlert->severity, Alert::Severity::warning);
        EXPECT_EQ(sepfix::folderSnapshot(stemsDir), earlier);
        EXPECT_TRUE(sepfix::outputRoots(profile.tempDir).isEmpty());
        EXPECT_TRUE(app->separateButton->isEnabled());

        // Back to a run that succeeds.
        standIn.stems.clear();
        writeStandIn();
        sepfix::writeFakeConverter(ws, profile.converterPath, ws.path(QStringLiteral("conv-args")), ws.root());
        app->maxParallelEncodes = 0;
        for (const QString name : {"hold-bass.wav", "hold-other.wav", "fail-other.wav"})
            QFile::remove(ws.path(name));
    }
    if (const qint64 pid = sepfix::recordedPid(bassPid))
        EXPECT_FALSE(processAlive(pid));
    else
        ADD_FAILURE() << "the held bass encode never ran";
}

TEST_F(StemExport, FileSystemFailuresAreReportedAndTheOutputRootStillGoes)
{
    const Mode mode{Mode::fourStems};
    const QString audio = ws.writeFile(QStringLiteral("song.m4a"), "a");
    // A plain file where the save folder or the stems folder must go: found
    // before Demucs runs, not after.
    const QString plain = ws.writeFile(QStringLiteral("plain"), "x");
    const QString stemsInTheWay = ws.writeFile(QStringLiteral("save2/stems/song"), "y");
    const std::pair<QString, QString> unusable[] = {
        {plain, plain + QStringLiteral(": It is a file, not a folder.")},
        {ws.path(QStringLiteral("save2")), stemsInTheWay + QStringLiteral(": It is a file, not a folder.")},
    };
    for (const auto& [folder, text] : unusable) {
        app->folderField->setText(folder);
        separate(audio, mode);
        ASSERT_TRUE(app->lastAlert);
        EXPECT_EQ(app->lastAlert->title, QStringLiteral("Save Folder Unusable"));
        EXPECT_EQ(app->lastAlert->text, text);
        EXPECT_FALSE(QFileInfo::exists(standIn.argsFile));
    }
    EXPECT_EQ(ws.readFile(QStringLiteral("plain")), "x");
    EXPECT_EQ(ws.readFile(QStringLiteral("save2/stems/song")), "y");
    EXPECT_TRUE(sepfix::outputRoots(profile.tempDir).isEmpty());

    // A first export that fails takes back the folders it made for itself.
    app->folderField->setText(ws.path(QStringLiteral("new/save")));
    standIn.stems = QStringLiteral("vocals drums bass");
    writeStandIn();
    separate(audio, mode);
    EXPECT_EQ(logLines(*app).last(), QStringLiteral("Failed to save stems: Demucs did not produce other.wav"));
    EXPECT_FALSE(QFileInfo::exists(ws.path(QStringLiteral("new"))));
    EXPECT_TRUE(sepfix::outputRoots(profile.tempDir).isEmpty());
}
