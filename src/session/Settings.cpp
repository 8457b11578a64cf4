#include "session/Settings.h"

namespace {

const QString ytDlpPathKey = QStringLiteral("ytDlpPath");
const QString cookiesBrowserKey = QStringLiteral("cookiesFromBrowser");
const QString saveFolderKey = QStringLiteral("saveFolder");
const QString exportFormatKey = QStringLiteral("exportFormat");
const QString bestQualityModelKey = QStringLiteral("bestQualityModel");
const QString separateAfterDownloadKey = QStringLiteral("separateAfterDownload");

std::unique_ptr<QSettings> openStore(const PlatformProfile& profile)
{
    if (profile.settingsFile.isEmpty())
        return std::make_unique<QSettings>(QStringLiteral("Stemloft"), QStringLiteral("Stemloft"));
    return std::make_unique<QSettings>(profile.settingsFile, QSettings::IniFormat);
}

}  // namespace

Settings::Settings(const PlatformProfile& profile) : m_store(openStore(profile)) {}

QString Settings::ytDlpPath() const
{
    return m_store->value(ytDlpPathKey).toString();
}

void Settings::setYtDlpPath(const QString& path)
{
    m_store->setValue(ytDlpPathKey, path);
}

void Settings::clearYtDlpPath()
{
    m_store->remove(ytDlpPathKey);
}

QString Settings::cookiesBrowser() const
{
    return m_store->value(cookiesBrowserKey).toString();
}

void Settings::setCookiesBrowser(const QString& browser)
{
    if (browser.isEmpty())
        m_store->remove(cookiesBrowserKey);
    else
        m_store->setValue(cookiesBrowserKey, browser.toLower());
}

std::optional<QString> Settings::saveFolder() const
{
    const QVariant stored = m_store->value(saveFolderKey);
    if (stored.typeId() != QMetaType::QString)
        return std::nullopt;
    return stored.toString();
}

void Settings::setSaveFolder(const QString& path)
{
    m_store->setValue(saveFolderKey, path);
    m_store->sync();
}

separation::ExportFormat Settings::exportFormat() const
{
    return separation::formatFromExtension(m_store->value(exportFormatKey).toString())
        .value_or(separation::ExportFormat::aac);
}

void Settings::setExportFormat(separation::ExportFormat format)
{
    m_store->setValue(exportFormatKey, separation::formatExtension(format));
}

bool Settings::bestQualityModel() const
{
    return m_store->value(bestQualityModelKey).toBool();
}

void Settings::setBestQualityModel(bool on)
{
    m_store->setValue(bestQualityModelKey, on);
}

bool Settings::separateAfterDownload() const
{
    return m_store->value(separateAfterDownloadKey).toBool();
}

void Settings::setSeparateAfterDownload(bool on)
{
    m_store->setValue(separateAfterDownloadKey, on);
}
