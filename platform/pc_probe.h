// Read-only questions about the PC.
#pragma once

#include <string>

// "Linux 6.1.0-28-amd64" style: kernel name and release; "unknown OperatingSystem."
// when the system does not say.
std::string os_name();
// "AMD64 64bit" on x86-64, "<machine> 64bit" on other 64-bit machines, else "32bit".
std::string os_word_size();
