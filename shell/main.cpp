// Ostrelle: pairs this PC with a Mirelta phone and serves it as a USB speakerphone.
#include <cstdio>
#include <cstring>

#include "platform/config.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "platform/version.h"

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--version") == 0) {
            printf("Ostrelle %s\n", OSTRELLE_VERSION);
            return 0;
        }
    }
    config_load();
    const std::string log_path = data_file(LOG_FILE_NAME);
    log_init(log_path, log_path, -1);
    printf("log: %s\n", log_path.c_str());
    log_clear_callbacks();
    return 0;
}
