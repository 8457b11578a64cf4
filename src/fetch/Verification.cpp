#include "fetch/Verification.h"

#include <QCryptographicHash>
#include <QFile>
#include <QList>

namespace verification {

namespace {

constexpr qsizetype sha256HexLength = 64;
constexpr qint64 checksumFileLimit = 1 << 20;

bool isSha256Hex(QByteArrayView token)
{
    if (token.size() != sha256HexLength)
        return false;
    for (const char c : token) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
            return false;
    }
    return true;
}

}  // namespace

QByteArray readChecksumFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.read(checksumFileLimit) : QByteArray();
}

std::optional<QByteArray> fileSha256(const QString& path, QString* error)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    // addData(QIODevice*) reads in blocks, so a large archive is never held whole.
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file) || file.error() != QFileDevice::NoError) {
        if (error)
            *error = QStringLiteral("Could not read \"%1\": %2").arg(path, file.errorString());
        return std::nullopt;
    }
    return hash.result().toHex();
}

std::optional<QByteArray> listedSha256(const QByteArray& list, const QString& name)
{
    const QByteArray wanted = name.toUtf8();
    for (QByteArray line : list.split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        // The digest, one space, then a space (text mode) or '*' (binary mode).
        if (line.size() < sha256HexLength + 2 || line[sha256HexLength] != ' ')
            continue;
        const char mode = line[sha256HexLength + 1];
        if (mode != ' ' && mode != '*')
            continue;
        const QByteArray digest = line.left(sha256HexLength);
        if (isSha256Hex(digest) && line.mid(sha256HexLength + 2) == wanted)
            return digest.toLower();
    }
    return std::nullopt;
}

std::optional<QByteArray> firstSha256(const QByteArray& text)
{
    for (const QByteArray& token : text.simplified().split(' ')) {
        if (isSha256Hex(token))
            return token.toLower();
    }
    return std::nullopt;
}

QByteArray dearmoredKey(const QByteArray& key)
{
    const QByteArray begin = "-----BEGIN PGP PUBLIC KEY BLOCK-----";
    const qsizetype start = key.indexOf(begin);
    if (start < 0)
        return key;
    QByteArray base64;
    bool inHeaders = true;
    const QList<QByteArray> lines = key.mid(start + begin.size()).split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        // Armor headers ("Comment: ...") run up to the first empty line.
        if (inHeaders) {
            if (line.isEmpty() || !line.contains(':'))
                inHeaders = false;
            if (line.isEmpty() || line.contains(':'))
                continue;
        }
        // "=XXXX" is the CRC-24 of the data; gpgv checks the packets themselves.
        if (line.startsWith("-----") || line.startsWith('='))
            break;
        base64 += line;
    }
    return QByteArray::fromBase64(base64);
}

}  // namespace verification
