#include "UpdateIniData.h"

#include "Configuration.h"
#include "SettingsText.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>

QString UpdateIniData::filename()
{
    return QDir(Configuration::getAppRootPath()).absoluteFilePath(QStringLiteral("update.ini"));
}

bool UpdateIniData::get(int* version, QString* type, QString* dir)
{
    QSettings settings(filename(), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("current"));
    bool versionOk = false;
    const int storedVersion = SettingsText::variant(settings, QStringLiteral("version")).toInt(&versionOk);
    const QString storedDir = SettingsText::value(settings, QStringLiteral("dir"));
    const QString storedType = SettingsText::value(settings, QStringLiteral("type"));
    settings.endGroup();

    if (!versionOk || storedType.isEmpty() || storedDir.isEmpty())
        return false;
    // A record whose directory has vanished is stale and is overwritten by the next run.
    if (!QFileInfo::exists(storedDir))
        return false;

    if (version)
        *version = storedVersion;
    if (dir)
        *dir = storedDir;
    if (type)
        *type = storedType;
    return true;
}

void UpdateIniData::modify(int version, const QString& dir, const QString& type)
{
    QSettings settings(filename(), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("current"));
    settings.setValue(QStringLiteral("version"), version);
    settings.setValue(QStringLiteral("dir"), dir);
    settings.setValue(QStringLiteral("type"), type);
    settings.endGroup();
}

void UpdateIniData::cleanup()
{
    QSettings settings(filename(), QSettings::IniFormat);
    settings.remove(QStringLiteral("current"));
}
