// The errno value for a Windows error code, so that a reason reads as it does on a POSIX
// system (platform/error_reason.h).
#pragma once

// The errno value nearest to `error` (from GetLastError); EIO for one without a near value.
int errno_from_windows_error(unsigned long error);
