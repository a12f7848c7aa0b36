#include "singleinstancechecker.h"

bool SingleInstanceChecker::notifyRunningInstance(const QString& message)
{
    Q_UNUSED(message);
    return false;
}
