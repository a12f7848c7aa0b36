#include "asyncfunc.h"

ASyncFunc::ASyncFunc()
    : QObject(nullptr)
{
}

void ASyncFunc::exec()
{
    const bool res = run();
    emit runResult(res);
}
