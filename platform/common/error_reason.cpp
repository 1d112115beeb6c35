// Reasons in words, shared by every platform.
#include "platform/error_reason.h"

#include <system_error>

std::string error_reason_text(int error) {
  return error == 0 ? std::string() : std::generic_category().message(error);
}

std::string not_regular_reason(std::filesystem::file_type type) {
  using std::filesystem::file_type;
  const char* kind = nullptr;
  switch (type) {
    case file_type::none:
    case file_type::not_found:
    case file_type::regular:
      return std::string();
    case file_type::directory:
      kind = "folder";
      break;
    case file_type::fifo:
      kind = "named pipe";
      break;
    case file_type::block:
    case file_type::character:
      kind = "device";
      break;
    case file_type::socket:
      kind = "socket";
      break;
    case file_type::symlink:
      kind = "symbolic link";
      break;
    default:
      kind = "unknown kind";
      break;
  }
  return std::string("not a regular file: ") + kind;
}

std::string not_regular_reason(const std::string& path) {
  std::error_code ec;
  return not_regular_reason(std::filesystem::symlink_status(path, ec).type());
}
