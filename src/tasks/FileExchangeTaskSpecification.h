#pragma once

#include "FastFileOpTaskSpecification.h"

// Swaps the directory entries sourcePath and `path` (both must exist; links are swapped as links,
// never followed) and journals the swap as RollbackData::Exchange, whose undo swaps them back.
// Fails, recording nothing and changing nothing, when either is missing or the swap is refused.
//
// Where the file system supports it the swap is one atomic step (renameat2 RENAME_EXCHANGE): both
// names exist at every moment, so a crash leaves either the state before or the state after.
// Where it is refused (EINVAL, ENOTSUP, ENOSYS) it falls back to three renames through a reserved
// name beside `path`; then `path` is absent for a moment, and a crash in that moment leaves its
// entry under the reserved name.
class FileExchangeTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT
public:
    FileExchangeTaskSpecification(const QString& sourcePath, const QString& path,
                                  RollbackDataList* rollbackList, QObject* parent, double weight);

    QString sourcePath; // the other name of the swap

    // Swaps the directory entries `a` and `b` of one file system: atomically, or by
    // exchangeByRenames() where the file system refuses the atomic swap. False, with both left as
    // they were, when the swap cannot be done.
    static bool exchange(const QString& a, const QString& b);
    // The fallback: `b` renamed to reservedName(b), `a` to `b`, the reserved name to `a`, each
    // rename never onto an existing entry; a failed step undoes the earlier ones. Fails when
    // anything occupies the reserved name. Public so that the fallback can be exercised on file
    // systems that have the atomic swap.
    static bool exchangeByRenames(const QString& a, const QString& b);
    // "_exchange_" put before the last component of `path`, in the same directory.
    static QString reservedName(const QString& path);

protected:
    bool doOp() override;
};
