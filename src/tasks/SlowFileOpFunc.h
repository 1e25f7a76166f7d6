#pragma once

#include "ASyncFunc.h"

// The body of a background file operation that reads sourcePath and writes destPath.
class SlowFileOpFunc : public ASyncFunc
{
    Q_OBJECT
public:
    SlowFileOpFunc(const QString& sourcePath, const QString& destPath);

    QString sourcePath;
    QString destPath;
};
