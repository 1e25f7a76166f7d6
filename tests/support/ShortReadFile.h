#pragma once

#include <QString>

/// A file that ends before its reported size: a read of "size" bytes comes back short, as it would
/// for a file that shrinks while it is read. Root cannot be kept from reading a file, but a sysfs
/// attribute reports a whole page as its size and holds one line.
class ShortReadFile
{
public:
    /// The path of such a file on this machine, or an empty string when there is none (a test
    /// then skips).
    static QString path();
};
