#pragma once
// Where the updater's diagnostic lines go. By default nowhere: the handler
// drops every message of every type, so the updater writes no console output
// and no log file. For diagnosing a failure in the field, the environment
// variable "VX3_UPDATE_DIAGNOSTICS" may name a file to which each line is
// appended instead, with a local time stamp; nothing is ever shown to the user.
//
// Besides Qt's debug channel, the file receives every line of the window's log
// and the text of every message box (logLine), so that the reason of a failed
// update is on disk even when nobody opened "Details".

#include <QString>

namespace Diagnostics {

// Installs the process-wide message handler. Call before QApplication exists.
void install();

// The file diagnostics are appended to; empty when they are discarded.
QString targetFile();

// Appends one line of the user-visible log ("log: " and the text; line
// breaks become spaces). Nothing happens without a target file.
void logLine(const QString& text);

} // namespace Diagnostics
