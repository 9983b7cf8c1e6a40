#pragma once
// Replacing a whole file so that readers and a crash see the old or the new
// content, never a part.
#include <string>

// Sets the mode (and owner) of the temporary file that will become path;
// false stops the replacement.
using FileAttributeSetter = bool (*)(int fd, const std::string& path);

// Writes text into a fresh temporary file beside path ("path.XXXXXX"), lets
// setAttributes give it its mode, flushes it to disk and renames it over
// path. False when any step fails; the old file is then untouched and the
// temporary file removed.
bool ReplaceFileAtomically(const std::string& path, const std::string& text,
                           FileAttributeSetter setAttributes);
