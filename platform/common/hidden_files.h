// Output files that still have their hidden name, kept where a signal or console event that
// ends the program can find and remove them. The handler may run at any moment (on Windows
// on a thread of its own), so the names live in fixed slots and removing them allocates
// nothing and takes no lock.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Returns false when the name is too long or every slot is taken: the caller then gives up
// the file rather than risk leaving it behind.
bool hidden_register(const std::string& path);
void hidden_unregister(const std::string& path);
// Calls `remove` on every registered name; for the signal handler.
void hidden_remove_all(void (*remove)(const char* path));
// ".tarvenox-XXXXXXXX.tmp" for a random number.
std::string hidden_file_name(uint32_t random);
// Makes something under a fresh hidden name in `folder` and sets *path to it. The name is
// registered before it is made (a signal in between would otherwise leave it behind) and
// unregistered when it turns out taken, so the handler removes nothing of anyone else's.
// `make` returns 0 once made, or the errno of its failure: EEXIST tries another name.
// Returns false with errno set (EMFILE when no slot is free).
bool hidden_make(const std::string& folder, std::string* path,
                 const std::function<int(const std::string& path)>& make);
