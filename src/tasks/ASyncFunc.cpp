#include "ASyncFunc.h"

ASyncFunc::ASyncFunc()
    : QObject(nullptr)
{
}

void ASyncFunc::execute()
{
    const bool ok = run();
    Q_EMIT runResult(ok);
}
