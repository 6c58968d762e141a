#include "platform/paths.h"

#include <sys/stat.h>

#include <cstdlib>

namespace {

void make_dir(const std::string &path) {
    mkdir(path.c_str(), 0700);
}

std::string env(const char *name) {
    const char *v = getenv(name);
    return v ? v : "";
}

}  // namespace

std::string data_folder() {
    std::string base = env("APPDATA");
    if (base.empty()) {
        base = env("XDG_DATA_HOME");
        if (base.empty()) {
            const std::string home_env = env("HOME");
            const std::string home = home_env.empty() ? std::string(".") : home_env;
            base = home + "/.local/share";
            make_dir(home + "/.local");
        }
        make_dir(base);
    }
    std::string folder = base + "/Mirelta/";
    make_dir(folder);
    folder += "Ostrelle/";
    make_dir(folder);
    return folder;
}

std::string data_file(const std::string &name) {
    return data_folder() + name;
}

std::string data_subfolder(const std::string &name) {
    std::string path = data_folder() + name;
    make_dir(path);
    if (path.back() != '/') path += '/';
    return path;
}
