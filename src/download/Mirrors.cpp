#include "Mirrors.h"

#include "RandomGenerator.h"

#include <QSettings>

namespace {
constexpr qint32 defaultRetries = 2;
constexpr qint32 alphaRetries = 4;
constexpr qint32 httpUseSlots = 3;

QString versionDirectory(QString baseUrl, int version)
{
    if (!baseUrl.endsWith(QLatin1Char('/')))
        baseUrl += QLatin1Char('/');
    return baseUrl + QString::number(version);
}
} // namespace

Mirrors::Mirrors(QObject* parent, RandomGenerator* random)
    : QObject(parent)
    , m_random(random)
{
}

bool Mirrors::initDefault(QString iniFile, int version)
{
    QSettings settings(iniFile, QSettings::IniFormat);
    // The array's size is a number in the file, not a count of its entries: unchecked, a size of
    // two billion would make the pool ask for two billion entries at once.
    const int listed = settings.beginReadArray(QStringLiteral("mirrors"));
    const int count = qMin(listed, MaxMirrors);
    if (listed > MaxMirrors)
        Q_EMIT message(
            tr("mirrors.ini lists %1 mirrors; only the first %2 are used").arg(listed).arg(MaxMirrors));
    for (int i = 0; i < count; ++i) {
        settings.setArrayIndex(i);
        FTPSiteAccessData entry;
        entry.name = settings.value(QStringLiteral("mirror")).toString();
        mirrors.append(entry);
    }
    settings.endArray();
    setDefaults(settings, version);
    return true;
}

bool Mirrors::initAlpha(QString updateIniFile, int version)
{
    QSettings settings(updateIniFile, QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("Channel"));
    const QString url = settings.value(QStringLiteral("alpha")).toString();
    settings.endGroup();
    if (url.isEmpty()) {
        Q_EMIT fatalError(QStringLiteral("Alpha parameter in channel section in update ini file not found"));
        return false;
    }
    FTPSiteAccessData entry;
    entry.name = QStringLiteral("Alpha Channel");
    entry.url = versionDirectory(url, version);
    entry.retries = alphaRetries;
    // The one alpha mirror keeps a single use slot whatever its scheme.
    mirrors.append(entry);
    return true;
}

void Mirrors::setDefaults(QSettings& settings, int version)
{
    for (FTPSiteAccessData& entry : mirrors) {
        settings.beginGroup(entry.name);
        const QString url = settings.value(QStringLiteral("url")).toString();
        if (url.left(7).toUpper() == QLatin1String("HTTP://")
            || url.left(8).toUpper() == QLatin1String("HTTPS://"))
            entry.maxUse = httpUseSlots;
        entry.url = versionDirectory(url, version);
        // Read unsigned, judged signed: "-3" and "4294967293" both end up as the default.
        bool ok = false;
        const auto retries =
            qint32(settings.value(QStringLiteral("retries"), uint(defaultRetries)).toUInt(&ok));
        entry.retries = ok && retries > 0 ? retries : defaultRetries;
        settings.endGroup();
    }
}

int Mirrors::getRandomMirror(FTPSiteAccessData& mirror)
{
    if (mirrors.isEmpty()) {
        if (!noMirrorsReported) {
            Q_EMIT message(tr("There are no (more) known working mirrors available"));
            noMirrorsReported = true;
        }
        return 1;
    }
    int slots = 0;
    int used = 0;
    calcUseStats(slots, used);
    if (used >= slots)
        return 2;

    RandomGenerator& random = m_random ? *m_random : RandomGenerator::program();
    auto r = qint64(random.next() % quint32(slots - used));
    for (FTPSiteAccessData& entry : mirrors) {
        r -= entry.maxUse - entry.inUse;
        if (r < 0) {
            ++entry.inUse;
            mirror = entry;
            return 0;
        }
    }
    return 1;
}

void Mirrors::releaseMirror(const QString& name)
{
    const int index = getMirrorIndex(name);
    if (index >= 0)
        --mirrors[index].inUse;
}

void Mirrors::addMirrorError(const QString& name)
{
    const int index = getMirrorIndex(name);
    if (index < 0)
        return;
    FTPSiteAccessData& entry = mirrors[index];
    ++entry.errors;
    if (entry.errors <= entry.retries)
        return;
    Q_EMIT message(tr("Mirror %1 failed too many times, removing").arg(entry.name));
    mirrors.remove(index);
}

void Mirrors::removeMirror(const QString& name)
{
    const int index = getMirrorIndex(name);
    if (index >= 0)
        mirrors.remove(index);
}

int Mirrors::getMirrorIndex(const QString& name)
{
    for (int i = 0; i < mirrors.size(); ++i) {
        if (mirrors.at(i).name == name)
            return i;
    }
    return -1;
}

void Mirrors::calcUseStats(int& slots, int& used)
{
    slots = 0;
    used = 0;
    for (const FTPSiteAccessData& entry : mirrors) {
        slots += entry.maxUse;
        used += entry.inUse;
    }
}
