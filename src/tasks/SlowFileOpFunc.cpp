#include "SlowFileOpFunc.h"

SlowFileOpFunc::SlowFileOpFunc(const QString& sourcePath, const QString& destPath)
    : sourcePath(sourcePath)
    , destPath(destPath)
{
}
