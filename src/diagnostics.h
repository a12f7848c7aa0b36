#pragma once
// Where the updater's diagnostic lines go. By default nowhere: the handler
// drops every message of every type, so the updater writes no console output
// and no log file. For diagnosing a failure in the field, the environment
// variable "VX3_UPDATE_DIAGNOSTICS" may name a file to which each line is
// appended instead; nothing is ever shown to the user.

#include <QString>

class Diagnostics final
{
public:
    Diagnostics() = delete;

    // Installs the process-wide message handler. Call before QApplication exists.
    static void install();

    // The file diagnostics are appended to; empty when they are discarded.
    static QString targetFile();
};
