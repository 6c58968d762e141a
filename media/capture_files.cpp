#include "media/capture_files.h"

#include <cstring>

#include "media/audio_stream.h"
#include "platform/log.h"
#include "platform/paths.h"

namespace {

// Opens one capture for writing (truncating); an earlier file of the same
// handle is closed first so that nothing leaks on a second start.
bool open_one(capture_file *f, const char *path) {
    std::lock_guard<std::mutex> g(f->lock);
    if (f->fp != nullptr) fclose(f->fp);
    f->fp = fopen(path, "wb");
    return f->fp != nullptr;
}

void close_one(capture_file *f, const char *what) {
    std::lock_guard<std::mutex> g(f->lock);
    if (f->fp == nullptr) return;
    fclose(f->fp);
    f->fp = nullptr;
    log_print(0, LL_INFO, "%s", what);
}

void write_key_file(const char *path, audio_stream_state *stream) {
    FILE *fp = fopen(path, "wb");
    if (fp == nullptr) {
        log_print(0, LL_ERR, "usb cap file init file[%s] to save keys fail!\n", path);
        return;
    }
    char enc[AUDIO_KEY_LINE_SIZE], dec[AUDIO_KEY_LINE_SIZE];
    {
        std::lock_guard<std::recursive_mutex> g(stream->mutex);
        memcpy(enc, stream->encode_key, sizeof enc);
        memcpy(dec, stream->decode_key, sizeof dec);
    }
    fputs("\n****encode key****\n", fp);
    fwrite(enc, 1, strnlen(enc, sizeof enc - 1), fp);
    fputs("\n****decode key****\n", fp);
    fwrite(dec, 1, strnlen(dec, sizeof dec - 1), fp);
    fclose(fp);
}

}  // namespace

int capture_file_write(capture_file *f, const void *data, size_t len) {
    if (f == nullptr || data == nullptr || len == 0) return 0;
    std::lock_guard<std::mutex> g(f->lock);
    if (f->fp == nullptr) return 0;
    size_t n = fwrite(data, 1, len, f->fp);
    if (fflush(f->fp) != 0 || n != len) return -1;
    return static_cast<int>(n);
}

bool capture_file_is_open(capture_file *f) {
    std::lock_guard<std::mutex> g(f->lock);
    return f->fp != nullptr;
}

void capture_files_build_names(const std::string &folder, const std::tm &t, capture_names *out) {
    const char *suffix[] = {"usb2s", "s2vpm", "vpm2s", "s2usb", "key"};
    std::string *field[] = {&out->usb2s, &out->s2vpm, &out->vpm2s, &out->s2usb, &out->key};
    for (int i = 0; i < 5; ++i) {
        char name[64];
        snprintf(name, sizeof name, "//%02d_%02d_%02d-%02d-%02d_%s.L16PCM", t.tm_mon + 1, t.tm_mday,
                 t.tm_hour, t.tm_min, t.tm_sec, suffix[i]);
        *field[i] = folder + name;
    }
}

void capture_files_open(capture_files *files, audio_stream_state *stream, const char *usb2s,
                        const char *s2vpm, const char *vpm2s, const char *s2usb, const char *key) {
    if (files == nullptr || stream == nullptr || usb2s == nullptr || s2vpm == nullptr ||
        vpm2s == nullptr || s2usb == nullptr || key == nullptr) {
        log_print(0, LL_ERR, "usb cap file init fail!\n");
        return;
    }
    if (!open_one(&files->usb2s, usb2s))
        log_print(0, LL_ERR, "usb cap file init file[%s] to save usb2s data fail!\n", usb2s);
    if (!open_one(&files->s2vpm, s2vpm))
        log_print(0, LL_ERR, "usb cap file init file[%s] to save s2vpm data fail!\n", s2vpm);
    if (!open_one(&files->vpm2s, vpm2s))
        log_print(0, LL_ERR, "usb cap file init file[%s] to save vpm2s data fail!\n", vpm2s);
    if (!open_one(&files->s2usb, s2usb))
        log_print(0, LL_ERR, "usb cap file init file[%s] to save s2usb data fail!\n", s2usb);
    write_key_file(key, stream);
    log_print(0, LL_INFO,
              "usb cap file init suceed!,path_vpm2s[%s],path_s2vpm[%s],path_usb2s[%s]\n", vpm2s,
              s2vpm, usb2s);
}

void capture_files_close(capture_files *files) {
    if (files == nullptr) return;
    close_one(&files->s2vpm, "s2vpm cap file close!\n");
    close_one(&files->usb2s, "usb2s cap file close!\n");
    close_one(&files->vpm2s, "vpm2s cap file close!\n");
    close_one(&files->s2usb, "s2usb cap file close!\n");
}

void capture_files_set(capture_files *files, audio_stream_state *stream, int on) {
    if (on != 1) {
        log_print(0, LL_INFO, "clos cap file \n");
        capture_files_close(files);
        return;
    }
    log_print(0, LL_INFO, "init cap file \n");
    time_t now = time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    capture_names names;
    capture_files_build_names(data_folder(), local, &names);
    capture_files_open(files, stream, names.usb2s.c_str(), names.s2vpm.c_str(), names.vpm2s.c_str(),
                       names.s2usb.c_str(), names.key.c_str());
}
