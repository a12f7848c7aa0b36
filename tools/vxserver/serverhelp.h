#pragma once
// The help of vxserver: the one text that --help prints and the manual page
// is made from (help2man reads it), and the one-line usage that follows an
// error.

const char* serverHelp();
const char* serverUsage();
