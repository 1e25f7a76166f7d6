#pragma once

#include "SlowFileOpFunc.h"

// The body of a file copy: the toolkit's QFile::copy from sourcePath to destPath. Fails when
// destPath already exists or sourcePath cannot be read; never overwrites.
class FileCopyFunc : public SlowFileOpFunc
{
    Q_OBJECT
public:
    FileCopyFunc(const QString& sourcePath, const QString& destPath);

    bool run() override;
};
