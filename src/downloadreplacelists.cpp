#include "downloadreplacelists.h"

QString ReplaceItem::targetName() const
{
    return installName.isEmpty() ? name : installName;
}

void DownloadReplaceLists::clear()
{
    downloads.clear();
    replaces.clear();
    deletes.clear();
}
