// Scripts in files, without the toolkit: the editor's Open and Save.
#pragma once

#include <string>

// Empty, or why the file at `path` is not a script (a small text file): its
// text in `text` when it is.
std::string ReadScriptFile(const std::string& path, std::string& text);

// Writes `text` beside the file and puts it in the file's place once whole
// on the disk. Returns 0, or the errno of what failed.
int WriteScriptFile(const std::string& path, const std::string& text);
