#pragma once

#include <QString>

// One mirror of the pool: a plain value. The pool keeps one per mirror; every transfer keeps its own
// copy of the entry it was handed, so later changes to the pool never show in that copy.
struct FTPSiteAccessData
{
    // Key of the mirror in the pool, and the group of its settings in mirrors.ini.
    QString name;
    // Base URL of the version directory on the mirror; never ends with "/".
    QString url;
    // Errors the mirror may have; the error that makes `errors` exceed it removes the mirror.
    qint32 retries = 0;
    // Consecutive progress ticks a transfer from this mirror may go without data.
    qint32 timeout = 15;
    // Errors counted against the mirror so far.
    qint32 errors = 0;
    // Transfers currently holding a use slot on the mirror.
    qint32 inUse = 0;
    // Use slots: how many transfers may run on the mirror at the same time.
    qint32 maxUse = 1;
};
