#pragma once

#include "ComposedTaskSpecification.h"

#include <QPointer>

class CheckSignatureTaskSpecification;
class Configuration;
class DownloadTaskSpecification;
class Mirrors;
class QNetworkAccessManager;

// Fetches the product ini (clientType + ".ini") and its signature (+ ".sig") from the root of the
// mirror's version directory into the temporary directory, one after the other, and verifies the
// signature with the compiled-in release key.
//
// A release names itself: the keys "type" and "version" above the ini's first section, inside the
// signed bytes. When either is there, both must name the client type and version this run installs;
// otherwise a mirror serves a genuine ini of another release (an old one, say, under the new
// version's path). That ini is refused like one whose signature fails ("Product ini on mirror %1 is
// for %2 version %3, not %4 version %5"), and the mirror that served it is dropped from the pool,
// since it would only serve it again. An ini without the keys is accepted as it always was.
//
// The bodies are capped: a signature larger than sigSizeLimit or an ini larger than iniSizeLimit
// fails that transfer's attempt on its mirror, which is charged with an error, and the transfer
// goes on from another mirror.
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
    // A signature is 128 bytes.
    static constexpr qint64 sigSizeLimit = 64 * 1024;
    // A release of 10,000 files has an ini of about 0.7 MiB.
    static constexpr qint64 iniSizeLimit = 16 * 1024 * 1024;

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

private:
    // True when the verified ini names no release, or names the one this run installs. Otherwise
    // says so and drops the mirror that served the ini.
    bool isRequestedRelease();
    // A failed check of this attempt: retries, or gives up after too many.
    void checkFailed();

    // The ini's transfer in the current attempt; null when the local copy is being reused.
    QPointer<DownloadTaskSpecification> m_iniDownload;
};
