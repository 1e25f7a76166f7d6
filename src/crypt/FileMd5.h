#pragma once

#include <QByteArray>
#include <QString>

/// How reading a file for a checksum went.
enum class FileReadStatus {
    Ok, ///< every byte of the file was read
    OpenFailed, ///< the file could not be opened for reading (missing, a folder, no permission)
    ReadFailed ///< opened, but fewer bytes came than the file's size, or a read failed
};

/// Bytes read per call: large enough that the per-call overhead vanishes next to MD5 itself,
/// small enough to keep the check of a multi-GiB file within a few MiB of memory.
constexpr qint64 kFileMd5ChunkSize = 64 * 1024;

/// MD5 of a file, computed in fixed-size chunks so that memory stays small whatever the file's
/// size. Reads exactly as many bytes as the file had when it was opened. Safe on any thread; uses
/// only its own file handle and buffer.
///
/// On Ok, digest holds the 16-byte MD5; otherwise digest is left unchanged.
FileReadStatus fileMd5(const QString& path, QByteArray& digest);
