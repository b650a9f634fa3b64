// File seam: appending to a file entry by entry, replacing a file whole, the working directory.
#pragma once

#include <string>
#include <string_view>

namespace qs::platform {

// Opens the file for appending (creating it if need be), writes the bytes and closes it.
// False when it could not be opened or not all the bytes went in.
bool AppendToFile(const std::string& path, std::string_view bytes);

// Writes the bytes into a new file in the same folder and renames it over path, so that
// path holds either its old content or all of the new one. On POSIX a file that was there
// keeps its mode, and its owner where the process may give it. False when anything failed:
// path is then untouched and no new file is left.
bool ReplaceFileContents(const std::string& path, std::string_view bytes);

// The process's working directory as an absolute path; empty when it cannot be told.
std::string WorkingDirectory();

}  // namespace qs::platform
