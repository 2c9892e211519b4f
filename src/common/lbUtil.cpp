#include "common/lbUtil.h"

#include <sstream>

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

int lbVFormat(char *dst, size_t size, const char *fmt, va_list ap) {
    if (dst == nullptr || size == 0)
        return -1;
    int n = vsnprintf(dst, size, fmt, ap);
    if (n < 0 || static_cast<size_t>(n) >= size) {
        dst[0] = '\0';
        return -1;
    }
    return n;
}

int lbFormat(char *dst, size_t size, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = lbVFormat(dst, size, fmt, ap);
    va_end(ap);
    return n;
}

namespace {

// A new file beside the target under a name unique to this process and rewrite. Unless
// committed, the destructor closes and removes it.
class TempFile {
  public:
    explicit TempFile(const char *target) : target_(target) {}
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;

    // 0, or the errno of the failure to create the temporary.
    int open() {
        static unsigned counter = 0;
        // O_EXCL: the loop only steps over leftovers of an earlier process that had
        // the same pid.
        for (int attempt = 0; attempt < 16; ++attempt) {
            name_ = std::string(target_) + ".tmp." + std::to_string(getpid()) + "." +
                    std::to_string(__atomic_fetch_add(&counter, 1, __ATOMIC_RELAXED));
            // 0666 so that the umask, not this code, decides who may read the file.
            int fd = ::open(name_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd < 0) {
                if (errno == EEXIST)
                    continue;
                int err = errno;
                name_.clear();
                return err;
            }
            stream_ = fdopen(fd, "w");
            if (stream_ == nullptr) {
                int err = errno;
                ::close(fd);
                unlink(name_.c_str());
                name_.clear();
                return err;
            }
            return 0;
        }
        name_.clear();
        return EEXIST;
    }

    FILE *stream() const { return stream_; }

    // Closes the temporary and renames it over the target: 0, or the errno of the step
    // that failed (the destructor then removes the temporary).
    int commit() {
        bool writeFailed = ferror(stream_) != 0;
        int err = fflush(stream_) != 0 ? errno : 0;
        if (fclose(stream_) != 0 && err == 0)
            err = errno;
        stream_ = nullptr;
        if (err == 0 && writeFailed)
            err = EIO;
        if (err != 0)
            return err;
        if (rename(name_.c_str(), target_) != 0)
            return errno;
        name_.clear();
        return 0;
    }

    ~TempFile() {
        if (stream_ != nullptr)
            fclose(stream_);
        if (!name_.empty())
            unlink(name_.c_str());
    }

  private:
    const char *target_;
    FILE *stream_ = nullptr;
    std::string name_;
};

}  // namespace

int lbReplaceFile(const char *target, const std::function<bool(FILE *)> &fill) {
    TempFile tmp(target);
    int err = tmp.open();
    if (err != 0)
        return err;
    if (!fill(tmp.stream()))
        return EIO;
    return tmp.commit();
}

int lbReadSettingsFile(const char *path, std::string &out, std::string &why) {
    out.clear();
    lbFilePtr f(fopen(path, "r"));
    if (!f) {
        if (errno == ENOENT)
            return 1;
        char buf[128];
        why = strerror_r(errno, buf, sizeof buf);
        return -1;
    }
    char buf[4096];
    for (size_t k; (k = fread(buf, 1, sizeof buf, f.get())) > 0;)
        out.append(buf, k);
    if (ferror(f.get())) {
        why = "read error";
        return -1;
    }
    return 0;
}

std::vector<std::string> lbSettingWords(const std::string &line) {
    std::istringstream in(line);
    std::vector<std::string> w;
    for (std::string word; in >> word;)
        w.push_back(word);
    if (!w.empty() && w[0][0] == '#')
        w.clear();
    return w;
}
