#include "platform/pc_probe.h"

#include <sys/utsname.h>

#include <cstring>

std::string os_name() {
    utsname u;
    if (uname(&u) != 0) return "unknown OperatingSystem.";
    return std::string(u.sysname) + " " + u.release;
}

std::string os_word_size() {
    utsname u;
    if (uname(&u) != 0) return sizeof(void *) == 8 ? "64bit" : "32bit";
    if (std::strcmp(u.machine, "x86_64") == 0) return "AMD64 64bit";
    if (std::strstr(u.machine, "64") != nullptr) return std::string(u.machine) + " 64bit";
    return "32bit";
}
