#pragma once
// Folders of stems for the mixer's tests: tones made by the real ffmpeg, with
// a manifest as a separation writes it.
#include "separation/Manifest.h"
#include "separation_fixtures.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QList>
#include <QPair>

namespace mixfix {

// stems/NAME/ under ws with one file per (kind, lavfi source) pair, e.g.
// {"vocals", "sine=f=440:d=4"}, encoded to ext, and manifest.json.
inline QString makeStemFolder(const TempWorkspace& ws, const QString& name,
                              const QList<QPair<QString, QString>>& stems, const QString& ext = QStringLiteral("flac"))
{
    const QString folder = ws.makeDir(QStringLiteral("save/stems/") + name);
    separation::Manifest manifest;
    manifest.createdAt = QDateTime::currentDateTimeUtc();
    manifest.mode = QStringLiteral("%1stems").arg(stems.size());
    manifest.model = QStringLiteral("htdemucs");
    manifest.sourceAudioPath = ws.path(QStringLiteral("save/") + name + QStringLiteral(".m4a"));
    for (const auto& [kind, source] : stems) {
        const QString file = QDir(folder).filePath(kind + QLatin1Char('.') + ext);
        if (!sepfix::ffmpeg({QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"), source,
                             QStringLiteral("-ac"), QStringLiteral("2"), QStringLiteral("-ar"),
                             QStringLiteral("44100"), file}))
            return {};
        manifest.stems.append({kind, QStringLiteral("stems/%1/%2.%3").arg(name, kind, ext), QFileInfo(file).size(),
                               QStringLiteral("audio/flac")});
    }
    ws.writeFile(QStringLiteral("save/stems/") + name + QStringLiteral("/manifest.json"),
                 separation::manifestJson(manifest));
    return folder;
}

}  // namespace mixfix
