#include "CheckSignatureTaskSpecification.h"

#include "CheckSigFunc.h"

#include <utility>

CheckSignatureTaskSpecification::CheckSignatureTaskSpecification(QString fileName, QString md5,
                                                                 bool cancelOnFailure, QObject* parent,
                                                                 double weight)
    : ASyncTaskSpecification(parent, weight)
    , fileName(std::move(fileName))
    , md5(std::move(md5))
    , cancelOnFailure(cancelOnFailure)
{
}

ASyncFunc* CheckSignatureTaskSpecification::createFunction()
{
    return new CheckSigFunc(fileName, md5);
}

void CheckSignatureTaskSpecification::runDone(bool ok)
{
    // Reset before the result came back: the result belongs to a run that no longer exists.
    if (state != StateRunning)
        return;
    if (ok) {
        Q_EMIT checkDone(true, this);
        finish();
        return;
    }
    // One text for both kinds of check; a worker's own message, if any, already told why.
    Q_EMIT message(QStringLiteral("Signature check failed for %1").arg(fileName));
    Q_EMIT checkDone(false, this);
    if (cancelOnFailure)
        errorCancel();
    else
        finish();
}
