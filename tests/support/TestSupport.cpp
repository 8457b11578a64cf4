#include "support/TestSupport.h"

#include "process/ProcessTable.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>

#include <sys/stat.h>

TempWorkspace::TempWorkspace()
{
    m_dir.setAutoRemove(true);
}

QString TempWorkspace::path(const QString& relative) const
{
    return m_dir.filePath(relative);
}

QString TempWorkspace::makeDir(const QString& relative) const
{
    const QString p = path(relative);
    QDir().mkpath(p);
    return p;
}

QString TempWorkspace::writeFile(const QString& relative, const QByteArray& contents) const
{
    const QString p = path(relative);
    QDir().mkpath(QFileInfo(p).path());
    QFile f(p);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write %s", qPrintable(p));
    f.write(contents);
    return p;
}

QString TempWorkspace::writeScript(const QString& relative, const QString& body) const
{
    const QString p = writeFile(relative, ("#!/bin/sh\n" + body + "\n").toUtf8());
    QFile::setPermissions(p, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                                 QFileDevice::ReadGroup | QFileDevice::ExeGroup |
                                 QFileDevice::ReadOther | QFileDevice::ExeOther);
    return p;
}

QByteArray TempWorkspace::readFile(const QString& relative) const
{
    QFile f(relative.startsWith('/') ? relative : path(relative));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

PlatformProfile makeTestProfile(const TempWorkspace& ws)
{
    PlatformProfile p = PlatformProfile::current();
    p.homeDir = ws.makeDir(QStringLiteral("home"));
    p.appSupportBaseDir = ws.path(QStringLiteral("home/.local/share"));
    p.homeRelativeAppSupport = QStringLiteral(".local/share");
    p.downloadsDir = ws.makeDir(QStringLiteral("home/Downloads"));
    p.tempDir = ws.makeDir(QStringLiteral("tmp"));
    p.bundleResourceDir = ws.path(QStringLiteral("bundle/Resources"));
    p.bundleContainerDir = ws.path(QStringLiteral("bundle"));
    p.settingsFile = ws.path(QStringLiteral("settings.ini"));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PATH"), ws.path(QStringLiteral("pathbin")));
    env.insert(QStringLiteral("HOME"), p.homeDir);
    p.appEnvironment = env;
    p.curlPath = ws.path(QStringLiteral("tools/curl"));
    p.unzipPath = ws.path(QStringLiteral("tools/unzip"));
    p.gpgvPath = ws.path(QStringLiteral("tools/gpgv"));
    p.loginShell = QStringLiteral("/bin/sh");
    p.ytDlpSystemDirs = {ws.path(QStringLiteral("sys/homebrew")), ws.path(QStringLiteral("sys/local")),
                         ws.path(QStringLiteral("sys/usr"))};
    p.converterPath = ws.path(QStringLiteral("tools/ffmpeg"));
    p.pythonPrefixes = {ws.path(QStringLiteral("opt/homebrew")), ws.path(QStringLiteral("usr/local"))};
    p.pythonFrameworkVersions = ws.path(QStringLiteral("Library/Frameworks/Python.framework/Versions"));
    p.cpuArchitecture = QStringLiteral("x86_64");
    p.nvidiaDriverFile = ws.path(QStringLiteral("proc/driver/nvidia/version"));
    p.ytDlpProgressIntervalMs = 750;
    p.demucsProgressIntervalMs = 20000;
    return p;
}

bool waitUntil(const std::function<bool()>& pred, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!pred()) {
        if (deadline.hasExpired())
            return pred();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QThread::msleep(1);
    }
    return true;
}

void pumpEvents(int ms)
{
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QThread::msleep(1);
    }
}

QString shellQuote(const QString& text)
{
    QString out = text;
    out.replace(QLatin1String("'"), QLatin1String("'\\''"));
    return QLatin1Char('\'') + out + QLatin1Char('\'');
}

QString recordArgsLines(const QString& file)
{
    return QStringLiteral(": > %1\nfor a in \"$@\"; do printf '%s\\n' \"$a\" >> %1; done")
        .arg(shellQuote(file));
}

QStringList readRecordedArgs(const QString& file)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QString text = QString::fromUtf8(f.readAll());
    if (text.endsWith(QLatin1Char('\n')))
        text.chop(1);
    if (text.isEmpty())
        return {};
    return text.split(QLatin1Char('\n'));
}

unsigned modeOf(const QString& path)
{
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

bool processAlive(qint64 pid)
{
    return processes::isRunning(pid);
}

QList<qint64> childProcesses(qint64 pid)
{
    QList<qint64> children;
    for (const processes::ProcessInfo& process : processes::allProcesses()) {
        if (process.parent == pid && !process.ended)
            children << process.pid;
    }
    return children;
}

SyncRunResult runSync(const QString& program, const QStringList& arguments,
                      const std::optional<QProcessEnvironment>& environment)
{
    SyncRunResult result;
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    if (environment)
        process.setProcessEnvironment(*environment);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start();
    if (!process.waitForStarted(-1)) {
        result.launchError = process.errorString();
        return result;
    }
    result.launched = true;
    process.waitForFinished(-1);
    result.status = process.exitCode();
    result.output = process.readAll();
    return result;
}

LocalServer::LocalServer(const QString& root)
{
    m_process.setProgram(QStandardPaths::findExecutable(QStringLiteral("python3")));
    m_process.setArguments({QStringLiteral("-u"), QStringLiteral("-m"), QStringLiteral("http.server"),
                            QStringLiteral("--bind"), QStringLiteral("127.0.0.1"), QStringLiteral("0"),
                            QStringLiteral("--directory"), root});
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.start();
}

LocalServer::~LocalServer()
{
    m_process.kill();
    m_process.waitForFinished(5000);
}

int LocalServer::port()
{
    static const QRegularExpression portPattern(QStringLiteral("port (\\d+)"));
    QByteArray seen;
    for (int i = 0; m_port == 0 && i < 100 && m_process.state() != QProcess::NotRunning; ++i) {
        m_process.waitForReadyRead(100);
        seen += m_process.readAll();
        const QRegularExpressionMatch match = portPattern.match(QString::fromUtf8(seen));
        if (match.hasMatch())
            m_port = match.captured(1).toInt();
    }
    return m_port;
}

QString LocalServer::url(const QString& path)
{
    return QStringLiteral("http://127.0.0.1:%1/").arg(port()) + path;
}

void LocalServer::removeProxies(QProcessEnvironment& environment)
{
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
        environment.remove(QString::fromLatin1(name));
}

QString writeUvRelease(const QString& folder, const QString& target, const QString& uvScript)
{
    const QString name = QStringLiteral("uv-") + target;
    QDir(folder).mkpath(name);
    for (const QString& program : {QStringLiteral("uv"), QStringLiteral("uvx")}) {
        QFile file(folder + QLatin1Char('/') + name + QLatin1Char('/') + program);
        if (!file.open(QIODevice::WriteOnly))
            return {};
        file.write("#!/bin/sh\n" + (program == QLatin1String("uv") ? uvScript : QStringLiteral("exit 0")).toUtf8() + "\n");
        file.close();
        file.setPermissions(file.permissions() | QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther);
    }
    const QString archive = folder + QLatin1Char('/') + name + QStringLiteral(".tar.gz");
    const SyncRunResult packed = runSync(QStringLiteral("/bin/sh"),
                                         {QStringLiteral("-c"), QStringLiteral("cd %1 && tar -czf %2 %3 && sha256sum %2 > %2.sha256 && rm -r %3")
                                                                    .arg(shellQuote(folder), shellQuote(name + QStringLiteral(".tar.gz")),
                                                                         shellQuote(name))});
    return packed.launched && packed.status == 0 ? archive : QString();
}

QString fakeUvScript(const QString& python, const QString& runsFile, const QString& installStep, bool link)
{
    const QString installed = QStringLiteral("$UV_PYTHON_INSTALL_DIR/cpython-3.12.4-linux-x86_64-gnu");
    return QStringLiteral(
               "echo \"$* | $UV_NO_CONFIG $UV_PYTHON_INSTALL_DIR $UV_INDEX\" >> %1\n"
               "case \"$1 $2\" in\n"
               "'python install')\n%2\n"
               "  mkdir -p \"%3/bin\" && %4 %5 \"%3/bin/python3.12\" ;;\n"
               "'python find') echo \"%3/bin/python3.12\" ;;\n"
               "esac\n")
        .arg(shellQuote(runsFile), installStep, installed, link ? QStringLiteral("ln -s") : QStringLiteral("cp"),
             shellQuote(python));
}
