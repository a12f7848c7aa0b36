#include "diagnostics.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    Diagnostics::install();
    QApplication app(argc, argv);
    return 0;
}
