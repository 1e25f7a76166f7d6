#include "ASyncRun.h"

#include "ASyncFunc.h"

ASyncRun::ASyncRun(ASyncFunc* func)
    : func(func)
{
}

ASyncRun::~ASyncRun()
{
    delete func;
}

void ASyncRun::run()
{
    func->execute();
}
