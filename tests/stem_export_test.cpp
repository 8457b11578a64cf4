#include "app/AppError.h"
#include "separation/StemFiles.h"
#include "separation_fixtures.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QLineEdit>
#include <QThread>

#include <gtest/gtest.h>

using separation::findFile;
using separation::sanitizeFileName;
using Mode = AppDelegate::SeparationMode;

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

// A launched controller with a fake converter and a Demucs output root
// holding the stems that a test writes.
class StemExport : public ::testing::Test {
protected:
    void SetUp() override
    {
        profile = makeTestProfile(ws);
        convArgs = ws.path(QStringLiteral("conv-args"));
        writeFakeConverter();
        app = makeDelegate(profile);
        app->folderField->setText(ws.path(QStringLiteral("save")));
        root = ws.makeDir(QStringLiteral("tmp/stemloft-demucs-TEST"));
    }
    void writeFakeConverter() { sepfix::writeFakeConverter(ws, profile.converterPath, convArgs, ws.root()); }
    void writeStems(const Mode& mode, const QStringList& skip = {})
    {
        for (const QString& stem : mode.stems())
            if (!skip.contains(stem))
                ws.writeFile(QStringLiteral("tmp/stemloft-demucs-TEST/%1/%2.wav").arg(mode.demucsModel(), stem),
                             stem.toUtf8());
    }
    QStringList exportLog() const
    {
        QStringList lines = logLines(*app);
        return lines.mid(lines.lastIndexOf(QStringLiteral("--")) + 1);
    }

    TempWorkspace ws;
    PlatformProfile profile;
    QString convArgs;
    QString root;
    std::unique_ptr<AppDelegate> app;
};

TEST_F(StemExport, ExportsEveryStemOfTheModeWithAManifest)
{
    for (const Mode mode : {Mode{Mode::sixStems}, Mode{Mode::fourStems}}) {
        SCOPED_TRACE(mode.modeLabel().toStdString());
        root = ws.makeDir(QStringLiteral("tmp/stemloft-demucs-TEST"));
        writeStems(mode);
        const QString stemsDir = ws.path(QStringLiteral("save/stems/Take Five [abc]"));
        ws.writeFile(QStringLiteral("save/stems/Take Five [abc]/vocals.wav"), "stale");
        app->appendLog(QStringLiteral("--"));
        const QString audio = ws.writeFile(QStringLiteral("music/Take Five [abc].m4a"), "a");
        app->finishSeparation(root, audio, mode);

        QStringList expectedLog;
        for (const QString& stem : mode.stems())
            expectedLog << QStringLiteral("Encoding %1.m4a...").arg(stem);
        expectedLog << QStringLiteral("Stem separation complete.") << QStringLiteral("Saved stems: ") + stemsDir;
        EXPECT_EQ(exportLog(), expectedLog);
        ASSERT_TRUE(app->lastAlert);
        EXPECT_EQ(app->lastAlert->title, QStringLiteral("Stem Separation Complete"));
        EXPECT_EQ(app->lastAlert->message, QStringLiteral("Stems were saved to ") + stemsDir);
        EXPECT_FALSE(QFileInfo::exists(root));

        QStringList expectedFiles = {QStringLiteral("manifest.json")};
        const QJsonObject manifest = sepfix::readJsonObject(stemsDir + QStringLiteral("/manifest.json"));
        EXPECT_EQ(manifest.value(QStringLiteral("mode")).toString(), mode.modeLabel());
        EXPECT_EQ(manifest.value(QStringLiteral("model")).toString(), mode.demucsModel());
        EXPECT_EQ(manifest.value(QStringLiteral("sourceAudioPath")).toString(), audio);
        const QJsonArray stems = manifest.value(QStringLiteral("stems")).toArray();
        ASSERT_EQ(stems.size(), mode.stems().size());
        for (qsizetype i = 0; i < stems.size(); ++i) {
            const QString stem = mode.stems().at(i);
            const QJsonObject entry = stems.at(i).toObject();
            EXPECT_EQ(entry.value(QStringLiteral("kind")).toString(), stem);
            EXPECT_EQ(entry.value(QStringLiteral("path")).toString(),
                      QStringLiteral("stems/Take Five [abc]/%1.m4a").arg(stem));
            EXPECT_EQ(ws.readFile(QStringLiteral("save/stems/Take Five [abc]/%1.m4a").arg(stem)),
                      "converted:" + stem.toUtf8());
            EXPECT_EQ(entry.value(QStringLiteral("size")).toInteger(), 10 + stem.size());
            expectedFiles << stem + QStringLiteral(".m4a");
        }
        // Six .m4a and the manifest: the stale WAV copy and any partial file
        // are gone, and the four-stem run leaves guitar and piano unlisted.
        EXPECT_EQ(QDir(stemsDir).entryList(QDir::Files | QDir::Hidden).size(), 7);
    }
}

TEST_F(StemExport, MissingStemKeepsWhatWasEncodedAndWritesNoManifest)
{
    writeStems(Mode{Mode::fourStems}, {QStringLiteral("bass")});
    ws.writeFile(QStringLiteral("save/stems/song/manifest.json"), "old");
    app->appendLog(QStringLiteral("--"));
    app->finishSeparation(root, ws.writeFile(QStringLiteral("song.m4a"), "a"), Mode{Mode::fourStems});
    EXPECT_EQ(exportLog(), (QStringList{QStringLiteral("Encoding vocals.m4a..."), QStringLiteral("Encoding drums.m4a..."),
                                        QStringLiteral("Failed to save stems: Demucs did not produce bass.wav")}));
    EXPECT_EQ(app->lastAlert->title, QStringLiteral("Stem Save Failed"));
    EXPECT_EQ(app->lastAlert->message, QStringLiteral("Demucs did not produce bass.wav"));
    EXPECT_EQ(app->lastAlert->icon, QMessageBox::Warning);
    EXPECT_EQ(QDir(ws.path(QStringLiteral("save/stems/song"))).entryList(QDir::Files | QDir::Hidden),
              (QStringList{QStringLiteral("drums.m4a"), QStringLiteral("manifest.json"), QStringLiteral("vocals.m4a")}));
    EXPECT_EQ(ws.readFile(QStringLiteral("save/stems/song/manifest.json")), "old");
    EXPECT_FALSE(QFileInfo::exists(root));
}

TEST_F(StemExport, NamesTheStemsFolderAfterTheSanitizedBaseName)
{
    const Mode mode{Mode::fourStems};
    writeStems(mode);
    app->folderField->setText(ws.path(QStringLiteral("new/save")));  // does not exist yet
    const QString stems = app->saveDemucsOutput(root, ws.path(QStringLiteral("What? Now: Live.m4a")), mode);
    EXPECT_EQ(stems, ws.path(QStringLiteral("new/save/stems/What_ Now_ Live")));
    const QJsonObject manifest = sepfix::readJsonObject(stems + QStringLiteral("/manifest.json"));
    EXPECT_EQ(manifest[QStringLiteral("stems")][0][QStringLiteral("path")].toString(),
              QStringLiteral("stems/What_ Now_ Live/vocals.m4a"));
    EXPECT_EQ(app->saveDemucsOutput(root, ws.path(QStringLiteral(". . .wav")), mode),
              ws.path(QStringLiteral("new/save/stems/reference")));
}

TEST_F(StemExport, SecondRunReplacesFilesAndCreatedAt)
{
    const Mode mode{Mode::fourStems};
    writeStems(mode);
    const QString audio = ws.path(QStringLiteral("song.webm"));
    const QString stems = app->saveDemucsOutput(root, audio, mode);
    const QString first = sepfix::readJsonObject(stems + QStringLiteral("/manifest.json"))[QStringLiteral("createdAt")].toString();
    QThread::msleep(1100);
    ws.writeFile(QStringLiteral("tmp/stemloft-demucs-TEST/htdemucs/deeper/vocals.wav"), "second take");
    QFile::remove(root + QStringLiteral("/htdemucs/vocals.wav"));
    app->saveDemucsOutput(root, audio, mode);
    const QJsonObject manifest = sepfix::readJsonObject(stems + QStringLiteral("/manifest.json"));
    EXPECT_NE(manifest[QStringLiteral("createdAt")].toString(), first);
    EXPECT_EQ(ws.readFile(stems + QStringLiteral("/vocals.m4a")), "converted:second take");
    EXPECT_EQ(manifest[QStringLiteral("stems")][0][QStringLiteral("size")].toInteger(), 21);
    EXPECT_EQ(QDir(stems).entryList(QDir::Files | QDir::Hidden).size(), 5);  // no partial files left
}

TEST_F(StemExport, FailedConversionKeepsTheEarlierExport)
{
    const Mode mode{Mode::fourStems};
    writeStems(mode);
    const QString audio = ws.path(QStringLiteral("song.m4a"));
    ws.writeFile(QStringLiteral("save/stems/song/vocals.m4a"), "earlier");
    ws.writeFile(QStringLiteral("save/stems/song/drums.m4a"), "earlier");
    ws.writeFile(QStringLiteral("save/stems/song/manifest.json"), "earlier");
    ws.writeFile(QStringLiteral("fail-drums.wav"), "  Invalid data\n");
    try {
        app->saveDemucsOutput(root, audio, mode);
        FAIL() << "expected the conversion to fail";
    } catch (const AppError& error) {
        EXPECT_EQ(error.code(), 3);
        EXPECT_EQ(error.localizedDescription(), QStringLiteral("ffmpeg failed for drums.wav: Invalid data"));
    }
    EXPECT_EQ(ws.readFile(QStringLiteral("save/stems/song/vocals.m4a")), "converted:vocals");
    EXPECT_EQ(ws.readFile(QStringLiteral("save/stems/song/drums.m4a")), "earlier");
    EXPECT_EQ(ws.readFile(QStringLiteral("save/stems/song/manifest.json")), "earlier");
    EXPECT_EQ(QDir(ws.path(QStringLiteral("save/stems/song"))).entryList(QDir::Files | QDir::Hidden).size(), 3);
}

TEST_F(StemExport, FileSystemFailuresAreReportedAndTheOutputRootStillGoes)
{
    const Mode mode{Mode::fourStems};
    writeStems(mode);
    // A plain file where the save folder must go.
    app->folderField->setText(ws.writeFile(QStringLiteral("plain"), "x"));
    app->finishSeparation(root, ws.path(QStringLiteral("song.m4a")), mode);
    EXPECT_TRUE(logLines(*app).last().startsWith(QStringLiteral("Failed to save stems: ")));
    EXPECT_EQ(app->lastAlert->title, QStringLiteral("Stem Save Failed"));
    EXPECT_FALSE(QFileInfo::exists(root));

    // A folder where manifest.json must go: the stems are written, the
    // manifest fails, and no temporary manifest is left beside it.
    root = ws.makeDir(QStringLiteral("tmp/stemloft-demucs-TEST"));
    writeStems(mode);
    app->folderField->setText(ws.path(QStringLiteral("save")));
    ws.writeFile(QStringLiteral("save/stems/song/manifest.json/keep"), "x");
    app->finishSeparation(root, ws.path(QStringLiteral("song.m4a")), mode);
    EXPECT_TRUE(logLines(*app).last().startsWith(QStringLiteral("Failed to save stems: ")));
    EXPECT_EQ(QDir(ws.path(QStringLiteral("save/stems/song"))).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).size(), 5);
}
