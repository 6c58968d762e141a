#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/clog.h"
#include "platform/log.h"

int CLogFile::open_or_trim(const std::string &path) {
    if (fd_ < 0) {
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ < 0) return -1;
        path_ = path;
        lseek(fd_, 0, SEEK_END);
        return 0;
    }
    struct stat st;
    if (fstat(fd_, &st) == 0 && st.st_size > LOG_TRIM_THRESHOLD) trim();
    return 0;
}

// Keeps the newest LOG_TRIM_KEEP bytes, starting just after their first line
// feed, so the file restarts at a line boundary. The kept part is written to
// a file beside the log and renamed over it, so a crash in the middle leaves
// either the old log or the trimmed one, never half of either. Nothing changes
// unless the whole region could be read and written.
int CLogFile::trim() {
    struct stat st;
    if (fstat(fd_, &st) != 0) return -1;
    const int64_t size = st.st_size;
    const int64_t from = size - LOG_TRIM_KEEP;

    std::vector<char> buf;
    try {
        buf.resize(size_t(LOG_TRIM_KEEP));
    } catch (const std::bad_alloc &) {
        return -1;  // the file keeps growing until a later trim succeeds
    }
    int64_t got = 0;
    while (got < LOG_TRIM_KEEP) {
        ssize_t n = pread(fd_, buf.data() + got, size_t(LOG_TRIM_KEEP - got), from + got);
        if (n <= 0) break;
        got += n;
    }
    if (got != LOG_TRIM_KEEP) return -1;

    const char *lf = static_cast<const char *>(std::memchr(buf.data(), '\n', buf.size()));
    const size_t start = lf ? size_t(lf - buf.data()) + 1 : 0;
    const std::string tmp = path_ + ".trim";
    int out = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) return -1;
    const char *p = buf.data() + start;
    size_t left = buf.size() - start;
    while (left > 0) {
        ssize_t n = ::write(out, p, left);
        if (n <= 0) break;
        p += n;
        left -= size_t(n);
    }
    bool ok = left == 0 && fsync(out) == 0;
    if (::close(out) != 0) ok = false;
    if (!ok || rename(tmp.c_str(), path_.c_str()) != 0) {
        unlink(tmp.c_str());
        return -1;
    }
    // The descriptor still names the old file: take the trimmed one.
    int fd = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return -1;
    ::close(fd_);
    fd_ = fd;
    lseek(fd_, 0, SEEK_END);
    return 0;
}

int CLogFile::write(const char *data, size_t len) {
    if (fd_ < 0) return -1;
    lseek(fd_, 0, SEEK_END);
    while (len > 0) {
        ssize_t n = ::write(fd_, data, len);
        if (n <= 0) return -1;
        data += n;
        len -= size_t(n);
    }
    return 0;
}

void CLogFile::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}
