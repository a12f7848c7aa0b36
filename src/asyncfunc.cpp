#include "asyncfunc.h"

#include <cerrno>
#include <cstring>

namespace {

// The errors a failed file operation ends with that say why: anything else
// left in errno may come from a step that went well and would mislead.
bool tellsWhy(int error)
{
    switch (error) {
    case ENOSPC:
    case EDQUOT:
    case EACCES:
    case EPERM:
    case EROFS:
    case EIO:
    case EFBIG:
    case ENOMEM:
    case EMFILE:
    case ENFILE:
        return true;
    default:
        return false;
    }
}

} // namespace

ASyncFunc::ASyncFunc()
    : QObject(nullptr)
{
}

void ASyncFunc::exec()
{
    errno = 0;
    const bool res = run();
    const int error = errno;
    if (!res && tellsWhy(error))
        emit failedWith(QString::fromLocal8Bit(std::strerror(error)));
    emit runResult(res);
}
