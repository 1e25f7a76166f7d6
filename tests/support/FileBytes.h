#pragma once

#include <QByteArray>
#include <QString>

/// Whole-file reads and writes for test fixtures, with failures a test can assert on.
class FileBytes
{
public:
    /// The file's bytes; empty when it cannot be read.
    static QByteArray read(const QString& path);
    /// Creates or truncates path and writes data; true when every byte was written.
    static bool write(const QString& path, const QByteArray& data);
};
