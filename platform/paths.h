// The per-user data folder and the names inside it.
#pragma once

#include <string>

// $APPDATA/Mirelta/Ostrelle/ when APPDATA is set, else
// $XDG_DATA_HOME/Mirelta/Ostrelle/ (default ~/.local/share). Both levels are
// created when missing; the result always ends with '/'.
std::string data_folder();
std::string data_file(const std::string &name);
// folder + name, created when missing; ends with '/'.
std::string data_subfolder(const std::string &name);

constexpr const char *CONFIG_FILE_NAME = "Quellin.ini";
constexpr const char *LOG_FILE_NAME = "Quellin.log";
