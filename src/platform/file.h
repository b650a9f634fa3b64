// File seam: appending bytes to a file that is opened for the one entry and closed again.
#pragma once

#include <string>
#include <string_view>

namespace qs::platform {

// Opens the file for appending (creating it if need be), writes the bytes and closes it.
// False when it could not be opened or not all the bytes went in.
bool AppendToFile(const std::string& path, std::string_view bytes);

}  // namespace qs::platform
