// The system's reason for a failed call, in words, which batch mode and --info show after the
// converter's own error text ("write file (No space left on device)"). The words come from
// the C library's texts of errno values, so that a cause reads the same on every platform.
#pragma once

#include <filesystem>
#include <string>

// The words for an errno value; "" for 0.
std::string error_reason_text(int error);
// Why what stands at a path is refused where a regular file is wanted: "not a regular file:
// folder" (named pipe, device, socket, symbolic link); "" for a regular file or nothing.
std::string not_regular_reason(std::filesystem::file_type type);
// The same for what stands at `path` itself (a link is not followed).
std::string not_regular_reason(const std::string& path);
