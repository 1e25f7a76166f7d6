// A hostile update.ini read for the settings (channel, pinned revision, proxy, streams) and the
// session record, and then edited: the record written into it and removed again. The edits splice
// text into the user's file, so they must keep what the other groups read as, and what they write
// must read back as written.
//
// Input: the file's bytes; after a zero byte, the rest is the client type that the record names
// (UTF-8), so that the value escaping is fuzzed too.
#include "Configuration.h"
#include "FuzzScratch.h"
#include "SettingsText.h"
#include "UpdateIniData.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStringList>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void check(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "update.ini: %s\n", what);
        std::abort();
    }
}

struct Settings
{
    UpdateChannel channel;
    int clientVersion;
    QString proxy;
    int downloadStreams;
    bool operator==(const Settings& other) const
    {
        return channel == other.channel && clientVersion == other.clientVersion && proxy == other.proxy
            && downloadStreams == other.downloadStreams;
    }
};

Settings readSettings()
{
    Configuration configuration;
    configuration.getUpdateChannel();
    configuration.getProxyAndDownloadConcurrency();
    check(configuration.downloadStreams >= 1, "at least one stream");
    return {configuration.channel, configuration.clientVersion, configuration.proxy,
            configuration.downloadStreams};
}

// Every key outside the group "current" with its value, as the settings reader sees them.
QStringList otherKeys(const QString& path)
{
    QSettings settings(path, QSettings::IniFormat);
    QStringList result;
    const QStringList keys = settings.allKeys();
    for (const QString& key : keys) {
        if (!key.startsWith(QLatin1String("current/")))
            result.append(key + QLatin1Char('=') + SettingsText::value(settings, key));
    }
    return result;
}

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    check(file.open(QIODevice::ReadOnly), "update.ini readable");
    return file.readAll();
}

// Puts bytes as update.ini into a new installation and makes that the application root; returns
// the file's path.
QString copyToFreshInstallation(FuzzScratch& scratch, const QByteArray& bytes)
{
    const QString root = scratch.freshPath(QStringLiteral("installation"), QString());
    check(QDir().mkpath(root), "scratch installation");
    Configuration::setAppRootPathOverride(root);
    const QString path = UpdateIniData::filename();
    FuzzScratch::writeFile(path, bytes);
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzScratch& scratch = FuzzScratch::instance();
    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
    const qsizetype zero = input.indexOf('\0');
    const QByteArray contents = zero < 0 ? input : input.left(zero);
    const QString type =
        zero < 0 ? QStringLiteral("client_linux_x86") : QString::fromUtf8(input.mid(zero + 1));

    // Each input in an installation of its own: see FuzzScratch about the settings cache.
    const QString root = scratch.freshPath(QStringLiteral("installation"), QString());
    check(QDir().mkpath(root), "scratch installation");
    Configuration::setAppRootPathOverride(root);
    const QString path = UpdateIniData::filename();
    FuzzScratch::writeFile(path, contents);

    const Settings before = readSettings();
    const QStringList keysBefore = otherKeys(path);
    int version = 0;
    QString recordType;
    QString recordDir;
    // No session directory of this installation exists, so no record can be valid.
    check(!UpdateIniData::get(&version, &recordType, &recordDir), "no valid record without its directory");

    // An edit either happens and reads back right, or is refused and leaves the file as it was.
    // Each result is read from a copy in an installation of its own: the settings reader would
    // take the file edited within the same millisecond, at the same size, for the one it cached.
    const QString dir = QDir::tempPath() + QStringLiteral("/kelvaro_temp_7");
    UpdateIniData::modify(3012, dir, type);
    const QByteArray modified = fileBytes(path);
    const QString modifiedCopy = copyToFreshInstallation(scratch, modified);
    if (modified != contents) {
        QSettings settings(modifiedCopy, QSettings::IniFormat);
        settings.beginGroup(QStringLiteral("current"));
        check(settings.value(QStringLiteral("version")).toString() == QLatin1String("3012"),
              "the version reads back");
        check(SettingsText::value(settings, QStringLiteral("dir")) == dir, "the directory reads back");
        check(SettingsText::value(settings, QStringLiteral("type")) == type, "the type reads back");
    }
    check(readSettings() == before, "the record changes no setting");
    check(otherKeys(modifiedCopy) == keysBefore, "the record changes no other key");

    Configuration::setAppRootPathOverride(root);
    UpdateIniData::cleanup();
    const QByteArray cleaned = fileBytes(path);
    const QString cleanedCopy = copyToFreshInstallation(scratch, cleaned);
    if (cleaned != modified) {
        QSettings settings(cleanedCopy, QSettings::IniFormat);
        check(!settings.childGroups().contains(QLatin1String("current")), "the record is gone");
    }
    check(readSettings() == before, "removing the record changes no setting");
    check(otherKeys(cleanedCopy) == keysBefore, "removing the record changes no other key");

    FuzzScratch::remove(QFileInfo(modifiedCopy).path());
    FuzzScratch::remove(QFileInfo(cleanedCopy).path());
    FuzzScratch::remove(root);
    return 0;
}
