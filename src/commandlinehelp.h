#pragma once
// The help of the `update` program: the one text that "--help" prints (on
// stdout, before any window or display is needed) and the manual page is
// made from. It names the command-line forms, the options, the environment,
// the exit statuses and an example.

namespace CommandLineHelp {

const char* text();
// True for the one argument "--help" (or "-h").
bool requested(int argc, const char* const* argv);

} // namespace CommandLineHelp
