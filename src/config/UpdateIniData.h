#pragma once

#include <QString>

// The record of an unfinished update session: group "current" of update.ini in the application
// root, with the keys "version", "dir" and "type". Written before a run downloads anything and
// removed after the run has been completed and cleaned up, so that the next start can continue an
// interrupted run or clean up after it.
//
// modify() and cleanup() change the group "current" only and keep every other byte of the file
// (comments, line ends, values as written); the file is replaced whole by a rename, never left
// half written. A file that cannot be read or written (not a plain file, over 1 MiB, read-only,
// immutable) is left unchanged and the failure is logged (logUpdateLine); get() then finds no
// record. Main thread; all members are static.
class UpdateIniData
{
public:
    // Absolute path of update.ini in the application root.
    static QString filename();
    // True when a valid record exists; then stores its values through the non-null pointers.
    // False, with nothing stored, otherwise. Valid means: "version" a decimal integer, "type" not
    // empty, and "dir" a session directory of this installation: written clean and absolute, named
    // "kelvaro_temp_<n>" (n from 0 to 999) directly in Configuration::getTempBasePath(), a real
    // directory (not a link) of this user that is not writable by all, holding the marker of
    // markSessionDirectory() that names this application root.
    static bool get(int* version, QString* type, QString* dir);
    // Writes all three keys, replacing an earlier record. Note the order: version, dir, type.
    static void modify(int version, const QString& dir, const QString& type);
    // Removes the group "current" with all its keys.
    static void cleanup();
    // Marks dir as a session directory of this installation: writes the file ".kelvaro_session"
    // into it, holding the application root as one line of UTF-8. Called once a run's directory is
    // fixed, before the record names it. False (and a log line) when the marker cannot be written.
    static bool markSessionDirectory(const QString& dir);
    // The marker's file name (".kelvaro_session"). Whoever empties a session directory removes it
    // last: a directory without it is not taken for a session, so a clean-up cut short before the
    // end would otherwise leave a directory that no later run recognises or removes.
    static QString sessionMarkerName();
};
