#include "MakeDownloadReplaceListTaskSpecification.h"

#include "MakeDownloadReplaceListFunc.h"

#include <QThreadPool>

MakeDownloadReplaceListTaskSpecification::MakeDownloadReplaceListTaskSpecification(
    Configuration* configuration, FileSpecifications& specifications, QObject* parent, double weight)
    : ASyncTaskSpecification(parent, weight)
    , m_configuration(configuration)
    , m_sharedSpecifications(&specifications)
{
}

MakeDownloadReplaceListTaskSpecification::~MakeDownloadReplaceListTaskSpecification()
{
    // The body writes into m_specifications by reference; it must not outlive it.
    if (m_bodyRunning)
        QThreadPool::globalInstance()->waitForDone();
}

ASyncFunc* MakeDownloadReplaceListTaskSpecification::createFunction()
{
    m_bodyRunning = true;
    return new MakeDownloadReplaceListFunc(m_configuration, m_specifications);
}

void MakeDownloadReplaceListTaskSpecification::runDone(bool ok)
{
    m_bodyRunning = false;
    if (ok && state == StateRunning) {
        m_sharedSpecifications->downloads = m_specifications.downloads;
        m_sharedSpecifications->replaces = m_specifications.replaces;
        m_sharedSpecifications->deletes = m_specifications.deletes;
    }
    ASyncTaskSpecification::runDone(ok);
}
