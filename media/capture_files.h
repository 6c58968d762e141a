// Debug captures of what passes through the media path of one device: the
// playback data from the bus (usb2s), RTP sent (s2vpm), datagrams received
// (vpm2s), frames handed to the PC's capture (s2usb), and a key file.
#pragma once

#include <cstddef>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

struct audio_stream_state;

// One capture handle; its lock makes open, close and write mutually safe.
struct capture_file {
    std::mutex lock;
    FILE *fp = nullptr;
};

// Appends and flushes while the handle is open. Returns the bytes written,
// 0 when the handle is closed (or nothing to write), -1 on a write error.
int capture_file_write(capture_file *f, const void *data, size_t len);
bool capture_file_is_open(capture_file *f);

// The four handles that belong to a virtual device.
struct capture_files {
    capture_file usb2s;
    capture_file s2vpm;
    capture_file vpm2s;
    capture_file s2usb;
};

struct capture_names {
    std::string usb2s;
    std::string s2vpm;
    std::string vpm2s;
    std::string s2usb;
    std::string key;
};

// The five names in folder (the data folder) for the local time t.
void capture_files_build_names(const std::string &folder, const std::tm &t, capture_names *out);

// Opens the four captures (truncating; a handle already open is closed first)
// and writes the key file from the stream's key lines. Does nothing but log
// when files, stream or a name is missing.
void capture_files_open(capture_files *files, audio_stream_state *stream, const char *usb2s,
                        const char *s2vpm, const char *vpm2s, const char *s2usb, const char *key);
// Closes each open capture, logging it.
void capture_files_close(capture_files *files);

// The capture switch of the session: on = 1 logs "init cap file", names the
// files after the local time in the data folder and opens them; any other
// value logs "clos cap file" and closes them.
void capture_files_set(capture_files *files, audio_stream_state *stream, int on);
