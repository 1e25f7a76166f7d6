#pragma once

#include "ASyncTaskSpecification.h"
#include "FileSpecifications.h"

class Configuration;

// Compiles the update plan from the verified product ini on the global thread pool (the body is a
// MakeDownloadReplaceListFunc).
//
// The body fills a plan private to this task; only when it succeeds are the three lists of the
// caller's plan replaced, all at once, on the GUI thread in runDone(). A compilation that fails
// leaves the caller's plan as it was. `configuration` and the caller's plan must outlive the task.
class MakeDownloadReplaceListTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT

public:
    MakeDownloadReplaceListTaskSpecification(Configuration* configuration, FileSpecifications& specifications,
                                             QObject* parent, double weight);
    // Waits for a body that still fills the private plan.
    ~MakeDownloadReplaceListTaskSpecification() override;

protected:
    ASyncFunc* createFunction() override;
    void runDone(bool ok) override;

private:
    Configuration* m_configuration;
    FileSpecifications* m_sharedSpecifications;
    FileSpecifications m_specifications;
    bool m_bodyRunning = false;
};
