// Small helpers that every subsystem needs: a FILE handle that closes itself, a bounded
// formatter that never hands on a cut text, and the one way the balancer replaces a
// file that another program may be reading.
#pragma once

#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

struct lbFileCloser {
    void operator()(FILE *f) const { fclose(f); }
};
// A FILE stream closed when the pointer goes out of scope.
using lbFilePtr = std::unique_ptr<FILE, lbFileCloser>;

// snprintf into dst (size bytes) that reports truncation: returns the length written,
// or -1 with dst emptied when the text would not fit (or dst is null or size is 0), so
// a cut URL, body or address is never used.
int lbFormat(char *dst, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
int lbVFormat(char *dst, size_t size, const char *fmt, va_list ap)
    __attribute__((format(printf, 3, 0)));

// Copies a fixed-size text field that may lack its terminator (a configured global, a
// record's name) into dst as a terminated string, cut to fit.
template <size_t N, typename T>
void lbCopyField(char (&dst)[N], const T *src, size_t srcSize) {
    const auto *text = reinterpret_cast<const char *>(src);
    lbFormat(dst, N, "%.*s", static_cast<int>(strnlen(text, srcSize)), text);
}

// Replaces the file target with what fill writes: the content goes to a new file under a
// temporary name in the same directory, which is then renamed over target, so a reader
// sees either the old or the new content, never a half-written file. fill returns false
// to abandon the rewrite. Returns 0, or an errno value (EIO for an abandoned or failed
// write) when target was not replaced; no temporary file is left behind then.
int lbReplaceFile(const char *target, const std::function<bool(FILE *)> &fill);

// Reads the whole settings file at path into out. Returns 1 when it does not exist (out
// empty), 0 when read, or -1 with why set (the system's reason, or "read error").
int lbReadSettingsFile(const char *path, std::string &out, std::string &why);

// The words of one line of a settings file, split at blanks; none for a blank line or a
// comment (a first word starting with '#').
std::vector<std::string> lbSettingWords(const std::string &line);
