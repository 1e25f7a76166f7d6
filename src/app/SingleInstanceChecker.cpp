#include "SingleInstanceChecker.h"

bool SingleInstanceChecker::checkExistingInstance(const QString& message)
{
    Q_UNUSED(message);
    return false;
}
