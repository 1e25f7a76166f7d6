#include "IniDownloadTaskSpecification.h"

#include "CheckSignatureTaskSpecification.h"
#include "Configuration.h"
#include "DownloadTaskSpecification.h"

#include <QFileInfo>

namespace {
constexpr qint32 maxCheckFailures = 1000;
constexpr double downloadWeight = 0.3333;
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

    if (!reuseLocal || !QFileInfo::exists(localIni)) {
        addSubTask(new DownloadTaskSpecification(manager, mirrors, ini, localIni, -1, this, downloadWeight));
        checkWeight = 1.0 - downloadWeight;
    }
    if (!reuseLocal || !QFileInfo::exists(localSig)) {
        addSubTask(new DownloadTaskSpecification(manager, mirrors, sig, localSig, -1, this, downloadWeight));
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
    if (pass)
        return;
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
