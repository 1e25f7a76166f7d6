#include "InstallationSyncTaskSpecification.h"

#include "InstallationSyncFunc.h"

InstallationSyncTaskSpecification::InstallationSyncTaskSpecification(const QString& root, QObject* parent,
                                                                     double weight)
    : ASyncTaskSpecification(parent, weight)
    , root(root)
{
}

ASyncFunc* InstallationSyncTaskSpecification::createFunction()
{
    return new InstallationSyncFunc(root);
}
