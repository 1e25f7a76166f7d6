#pragma once

#include "SlowFileOpFunc.h"

// The body of an unpack: streams the gzip file sourcePath through zlib into destPath, with one
// fixed 16384-byte buffer (no file is held in memory). zlib passes data that is not gzip through
// unchanged, so such a source is copied byte for byte. A failed unpack removes whatever it wrote,
// so nothing is ever left at destPath after a failure.
class FileUnzipFunc : public SlowFileOpFunc
{
    Q_OBJECT
public:
    FileUnzipFunc(const QString& sourcePath, const QString& destPath);

    // unzipFile(destPath, sourcePath); removes destPath when that fails.
    bool run() override;

    // Unpacks sourcePath into destPath, creating or truncating it. Note the order: destination
    // first. Returns false when either file cannot be opened, the compressed data is damaged or ends
    // in the middle of a gzip stream, or a write falls short.
    bool unzipFile(const QString& destPath, const QString& sourcePath);

    static constexpr int bufferSize = 16384;
};
