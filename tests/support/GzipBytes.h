#pragma once

#include <QByteArray>

// Gzip data made by the system's gzip tool, an oracle independent of the code under test.
class GzipBytes
{
public:
    // `data` packed as one gzip member (no name, no time stamp); empty when gzip failed.
    static QByteArray pack(const QByteArray& data);
};
