#pragma once

#include "ComposedTaskSpecification.h"

class CheckSignatureTaskSpecification;
class Configuration;
class Mirrors;
class QNetworkAccessManager;

// Fetches the product ini (clientType + ".ini") and its signature (+ ".sig") from the root of the
// mirror's version directory into the temporary directory, one after the other, and verifies the
// signature with the compiled-in release key.
//
// On the first attempt of an execution, files already in the temporary directory (left by an
// interrupted run) are reused and only verified. Every failed verification downloads both files
// again from randomly chosen mirrors; the 1001st failure of one execution ends the task in error
// with "Could not verify the product ini file. Aborting". A transfer that ends in error ends the
// task in error. A user cancel that arrives while a failing check runs ends the task cancelled
// instead of starting another attempt.
//
// GUI thread only; `manager`, `mirrors` and `configuration` are not owned and must outlive it.
class IniDownloadTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    IniDownloadTaskSpecification(QNetworkAccessManager* manager, Mirrors* mirrors,
                                 Configuration* configuration, QObject* parent, double weight);

    QNetworkAccessManager* manager;
    Mirrors* mirrors;
    Configuration* configuration;
    // Failed verifications in this execution; survives the task's own retries.
    qint32 checkFailures = 0;

    // Emits "Download / check product ini" and starts the first attempt.
    void execute() override;
    // Discards the sub-tasks (without deleting any file) and sets checkFailures to 0.
    void reset() override;
    // Builds and starts one attempt: the missing downloads, then the signature check.
    void makeSubtasksAndStart();

public Q_SLOTS:
    void onSigCheckDone(bool pass, CheckSignatureTaskSpecification* check);
};
