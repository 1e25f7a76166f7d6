#include "IniDownloadTaskSpecification.h"

#include "CheckSignatureTaskSpecification.h"
#include "Configuration.h"
#include "DownloadTaskSpecification.h"
#include "Mirrors.h"

#include <QFileInfo>
#include <QSettings>

namespace {
constexpr qint32 maxCheckFailures = 1000;
constexpr double downloadWeight = 0.3333;

// QSettings turns an unquoted value with commas into a string list.
QString valueText(const QVariant& value)
{
    if (value.userType() == QMetaType::QStringList)
        return value.toStringList().join(QLatin1Char(','));
    return value.toString();
}
} // namespace

IniDownloadTaskSpecification::IniDownloadTaskSpecification(QNetworkAccessManager* manager, Mirrors* mirrors,
                                                           Configuration* configuration, QObject* parent,
                                                           double weight)
    : ComposedTaskSpecification(1, weight, parent)
    , manager(manager)
    , mirrors(mirrors)
    , configuration(configuration)
{
}

void IniDownloadTaskSpecification::execute()
{
    Q_EMIT message(QStringLiteral("Download / check product ini"));
    makeSubtasksAndStart();
}

void IniDownloadTaskSpecification::reset()
{
    clearSubTasks();
    checkFailures = 0;
    TaskSpecification::reset();
}

void IniDownloadTaskSpecification::makeSubtasksAndStart()
{
    const QString ini = configuration->clientType + QStringLiteral(".ini");
    const QString sig = ini + QStringLiteral(".sig");
    const QString localIni = configuration->tempDir + QLatin1Char('/') + ini;
    const QString localSig = configuration->tempDir + QLatin1Char('/') + sig;
    // Local copies are trusted to be worth a check only until one check has failed.
    const bool reuseLocal = checkFailures < 1;
    double checkWeight = 1.0;

    m_iniDownload = nullptr;
    if (!reuseLocal || !QFileInfo::exists(localIni)) {
        m_iniDownload =
            new DownloadTaskSpecification(manager, mirrors, ini, localIni, -1, this, downloadWeight);
        m_iniDownload->sizeLimit = iniSizeLimit;
        addSubTask(m_iniDownload);
        checkWeight = 1.0 - downloadWeight;
    }
    if (!reuseLocal || !QFileInfo::exists(localSig)) {
        auto* sigDownload =
            new DownloadTaskSpecification(manager, mirrors, sig, localSig, -1, this, downloadWeight);
        sigDownload->sizeLimit = sigSizeLimit;
        addSubTask(sigDownload);
        checkWeight -= downloadWeight;
    }
    auto* check = new CheckSignatureTaskSpecification(localIni, QString(), false, this, checkWeight);
    connect(check, &CheckSignatureTaskSpecification::checkDone, this,
            &IniDownloadTaskSpecification::onSigCheckDone);
    addSubTask(check);

    state = StateRunning;
    executeSubTasks();
}

void IniDownloadTaskSpecification::onSigCheckDone(bool pass, CheckSignatureTaskSpecification*)
{
    if (pass && isRequestedRelease())
        return;
    checkFailed();
}

bool IniDownloadTaskSpecification::isRequestedRelease()
{
    const QString localIni =
        configuration->tempDir + QLatin1Char('/') + configuration->clientType + QStringLiteral(".ini");
    // Keys above the first section; QSettings files them under "General". Read only once the
    // signature holds, so they are the maker's.
    const QSettings ini(localIni, QSettings::IniFormat);
    const bool hasType = ini.contains(QStringLiteral("type"));
    const bool hasVersion = ini.contains(QStringLiteral("version"));
    if (!hasType && !hasVersion)
        return true;
    const QString type = valueText(ini.value(QStringLiteral("type")));
    const QString version = valueText(ini.value(QStringLiteral("version")));
    bool numeric = false;
    const int number = version.trimmed().toInt(&numeric);
    if (type == configuration->clientType && numeric && number == configuration->clientVersion)
        return true;

    const QString named = QStringLiteral("%1 version %2, not %3 version %4")
                              .arg(hasType ? type : QStringLiteral("(no type)"),
                                   hasVersion ? version : QStringLiteral("(none)"), configuration->clientType,
                                   QString::number(configuration->clientVersion));
    if (!m_iniDownload) {
        Q_EMIT message(QStringLiteral("Product ini %1 is for %2").arg(localIni, named));
        return false;
    }
    const QString mirror = m_iniDownload->mirror.name;
    Q_EMIT message(QStringLiteral("Product ini on mirror %1 is for %2").arg(mirror, named));
    mirrors->removeMirror(mirror);
    return false;
}

void IniDownloadTaskSpecification::checkFailed()
{
    ++checkFailures;
    if (checkFailures > maxCheckFailures) {
        Q_EMIT message(QStringLiteral("Could not verify the product ini file. Aborting"));
        // The failed check still finishes; disconnected, its end no longer reaches this task.
        clearSubTasks();
        errorCancel();
        return;
    }
    if (isUserCanceled) {
        // A retry would forget the request (reset clears it) and the finishing check would pass
        // the unverified ini off as a success.
        clearSubTasks();
        userCancel();
        return;
    }
    Q_EMIT message(QStringLiteral("Could not verify the product ini file. Retrying"));
    const qint32 failures = checkFailures;
    reset();
    checkFailures = failures;
    makeSubtasksAndStart();
}
