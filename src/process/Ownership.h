#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <optional>
#include <variant>

// Which process a file or folder belongs to, so that several Stemlofts (the
// window and command lines) never take each other's work, and what a killed
// run left behind is known by its dead owner rather than guessed from its age.
namespace ownership {

// Name of the small file in a working folder that says which process owns it.
inline const QString ownerFileName = QStringLiteral(".stemloft-owner");

// "PID START\n". START tells this process apart from a later one that reuses
// the pid: its start time as the system tells it (Linux, macOS), 0 elsewhere
// or when it cannot be read.
QByteArray ownerRecord(qint64 pid);
// Writes ownerRecord(pid) into folder/ownerFileName; throws AppError when it cannot.
void writeOwnerFile(const QString& folder, qint64 pid);
// True while the recorded process runs (a zombie does not) and, when the
// record has a start time that can be checked, is the same process. Only the
// first line counts. Garbage or an empty record: false.
bool isOwnerAlive(const QByteArray& record);

// Folders named prefix* directly in parent (symbolic links are never
// followed) whose owner is gone. A folder without an owner file, written by
// an older version or being created this instant, counts as gone only once
// it was last modified more than noOwnerGraceSecs before now.
QStringList abandonedFolders(const QString& parent, const QString& prefix, const QDateTime& now,
                             qint64 noOwnerGraceSecs = 3600);

// A claim on a folder or resource, held for as long as the object lives: an
// exclusive lock on a small file that names the holder. The system drops the
// lock when the holder ends, however it ends (kill -9 included), so a claim
// whose owner is gone counts for nothing, and taking one is atomic between
// processes. Releasing removes the file.
class Claim {
public:
    // Who holds a claim: the process (0 when it could not be read) and the
    // note it left.
    struct Holder {
        qint64 pid = 0;
        QByteArray note;
    };

    Claim() = default;
    Claim(Claim&& other) noexcept;
    Claim& operator=(Claim&& other) noexcept;
    Claim(const Claim&) = delete;
    Claim& operator=(const Claim&) = delete;
    ~Claim() { release(); }

    // Takes the claim at path, leaving ownerRecord + note in its file, or
    // returns the live holder. A file whose holder is gone is taken over.
    // Throws AppError when the file cannot be made or written.
    static std::variant<Claim, Holder> take(const QString& path, const QByteArray& note = {});
    // The live holder of the claim at path; nothing when it is free or gone.
    static std::optional<Holder> holderOf(const QString& path);

    bool isHeld() const { return m_fd >= 0; }
    QString path() const { return m_path; }
    // The file was there from a holder that is gone: what it guarded may hold
    // that holder's debris.
    bool tookOver() const { return m_tookOver; }
    QByteArray previousNote() const { return m_previousNote; }
    // Removes the file and lets go; does nothing when not held.
    void release();

private:
    int m_fd = -1;
    QString m_path;
    bool m_tookOver = false;
    QByteArray m_previousNote;
};

}  // namespace ownership
