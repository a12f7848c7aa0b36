#pragma once
// The updater's entry to the patch engine's ensemble patches: applies the
// patch at `patchFile` to `oldFile` and writes `newFile` (UTF-8 paths). The
// engine writes the new file only when the result's checksum matched. True
// on success; the engine's status and, for the statuses that have one, a
// readable reason go to the debug channel. A new file of more than
// `outputLimit` bytes is refused as soon as that shows. Reentrant; runs on
// pool threads.

#include "vxpatch/ensemble_patch.h"

#include <QtGlobal>

using vxpatch::oschar;

// `overLimit`, when given, tells whether a failure was the limit's;
// `progress`, when not empty, watches the engine's work.
bool ApplyEnsemblePatch(const oschar* oldFile, const oschar* patchFile, const oschar* newFile,
                        quint64 outputLimit, bool* overLimit = nullptr,
                        const vxpatch::ProgressFn& progress = vxpatch::ProgressFn());
