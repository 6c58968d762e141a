#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "platform/clog.h"
#include "platform/log.h"

int CLogFile::open_or_trim(const std::string &path) {
    if (fd_ < 0) {
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ < 0) return -1;
        lseek(fd_, 0, SEEK_END);
        return 0;
    }
    struct stat st;
    if (fstat(fd_, &st) == 0 && st.st_size > LOG_TRIM_THRESHOLD) trim();
    return 0;
}

// Keeps the newest LOG_TRIM_KEEP bytes, starting just after their first line
// feed, so the file restarts at a line boundary. The copy runs in place from
// back to front of the file in chunks; nothing is written unless the whole
// region could be read.
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
    if (ftruncate(fd_, 0) != 0) return -1;
    lseek(fd_, 0, SEEK_SET);
    write(buf.data() + start, buf.size() - start);
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
