#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Checks of downloaded release files against what their publishers list
// beside them: sha256sum lists and OpenPGP keys.
namespace verification {

// The SHA-256 of a file as lowercase hex, read in pieces; nullopt with error
// set when the file cannot be read.
std::optional<QByteArray> fileSha256(const QString& path, QString* error);

// The start of a published checksum file: far more than any list of
// checksums holds, and nothing when it cannot be read.
QByteArray readChecksumFile(const QString& path);

// The digest a sha256sum list ("HEX  NAME" or "HEX *NAME" a line) gives for
// exactly this name, lowercase.
std::optional<QByteArray> listedSha256(const QByteArray& list, const QString& name);

// The first whitespace-separated token of 64 hex digits, lowercase: Deno
// publishes either sha256sum's line or a PowerShell table.
std::optional<QByteArray> firstSha256(const QByteArray& text);

// The binary packets of an ASCII-armored key, which is what gpgv reads as a
// keyring; bytes that are not armored come back as they are.
QByteArray dearmoredKey(const QByteArray& key);

}  // namespace verification
