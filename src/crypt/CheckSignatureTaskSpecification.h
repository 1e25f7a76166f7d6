#pragma once

#include "ASyncTaskSpecification.h"

#include <QString>

/// A background task that checks one file with a CheckSigFunc: against an MD5 sum, or, when md5
/// is empty, against its ".sig" signature with the compiled-in release key.
///
/// Lives on the GUI thread; the check runs on the global thread pool. When the check's result
/// arrives (and the task is still running), the task emits, in this order:
/// - on a failed check only: message("Signature check failed for <fileName>");
/// - checkDone(pass, this), exactly once per completed check, before the task ends;
/// - its end: finished(), or canceled() in StateErrorCanceled when the check failed and
///   cancelOnFailure is true.
/// A result that arrives after reset() leaves no trace. A cancel request does not stop the check;
/// its result is handled as usual.
class CheckSignatureTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT

public:
    CheckSignatureTaskSpecification(QString fileName, QString md5, bool cancelOnFailure, QObject* parent,
                                    double weight);

    /// Path of the file to check.
    const QString fileName;
    /// Expected MD5 as hexadecimal text; empty selects the signature check.
    const QString md5;
    /// true: a failed check ends the task in error; false: it finishes, the owner acts on checkDone.
    const bool cancelOnFailure;

Q_SIGNALS:
    /// The outcome of the check; task is the emitter. Connected directly, the handler runs before
    /// the task ends, so an owner that resets its sub-tasks here disconnects this task first.
    void checkDone(bool pass, CheckSignatureTaskSpecification* task);

protected:
    ASyncFunc* createFunction() override;
    void runDone(bool ok) override;
};
