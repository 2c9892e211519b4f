#include "web/webFiles.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <charconv>
#include <cstring>

namespace lbweb {

namespace {

template <typename F>
void forEachLine(std::string_view text, F f) {
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string_view::npos)
            nl = text.size();
        f(text.substr(start, nl - start));
        start = nl + 1;
    }
}

bool toInt(std::string_view w, int &out) {
    auto [p, ec] = std::from_chars(w.data(), w.data() + w.size(), out);
    return !w.empty() && ec == std::errc() && p == w.data() + w.size();
}

}  // namespace

std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> w;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && isspace(static_cast<unsigned char>(line[i])))
            i++;
        size_t start = i;
        while (i < line.size() && !isspace(static_cast<unsigned char>(line[i])))
            i++;
        if (i > start)
            w.push_back(line.substr(start, i - start));
    }
    return w;
}

Flows parseFlows(std::string_view text) {
    Flows flows;
    forEachLine(text, [&](std::string_view line) {
        std::vector<std::string_view> w = words(line);
        if (w.empty())
            return;
        int port, maxconn;
        if (w.size() != 6 || !toInt(w[1], port) || !toInt(w[5], maxconn)) {
            flows.bad++;
            return;
        }
        if (w[0] == "0")  // an idle server: 0 0 address 0 name maxconn
            flows.idle[std::string(w[2])] = std::string(w[4]);
        else
            flows.conns.push_back({std::string(w[0]), port, std::string(w[2]), std::string(w[4])});
    });
    return flows;
}

std::map<std::string, int> countByServer(const Flows &flows) {
    std::map<std::string, int> n;
    for (const auto &[addr, name] : flows.idle)
        n[addr] += 0;
    for (const FlowConn &c : flows.conns)
        n[c.server]++;
    return n;
}

std::vector<Series> parseGraph(std::string_view text, time_t from, time_t to, int *bad) {
    std::vector<Series> out;
    std::map<std::string, size_t, std::less<>> index;
    int skipped = 0;
    forEachLine(text, [&](std::string_view line) {
        // "name  count  Sat Dec  5 08:07:53 2026": two words, then asctime's five.
        std::vector<std::string_view> w = words(line);
        int count;
        if (w.empty())
            return;
        if (w.size() != 7 || !toInt(w[1], count)) {
            skipped++;
            return;
        }
        std::string when(w[2].data(), w[6].data() + w[6].size() - w[2].data());
        struct tm tm {};
        const char *end = strptime(when.c_str(), "%a %b %d %H:%M:%S %Y", &tm);
        if (end == nullptr || *end != '\0') {
            skipped++;
            return;
        }
        tm.tm_isdst = -1;
        time_t t = mktime(&tm);
        if (t < from || t > to)
            return;
        auto it = index.find(w[0]);
        if (it == index.end()) {
            it = index.emplace(std::string(w[0]), out.size()).first;
            out.push_back({std::string(w[0]), {}});
        }
        out[it->second].points.emplace_back(t, count);
    });
    if (bad != nullptr)
        *bad = skipped;
    return out;
}

std::map<std::string, std::string> parseHealth(std::string_view text) {
    std::map<std::string, std::string> states;
    forEachLine(text, [&](std::string_view line) {
        std::vector<std::string_view> w = words(line);
        if (w.size() == 2 && (w[1] == "up" || w[1] == "down"))
            states[std::string(w[0])] = std::string(w[1]);
    });
    return states;
}

std::optional<Timeouts> parseTimeouts(std::string_view text) {
    std::vector<std::string_view> all = words(text);
    Timeouts t;
    if (all.size() < 2 || !toInt(all[0], t.ruleIdle) || !toInt(all[1], t.resetIdle))
        return std::nullopt;
    if (all.size() >= 3 && !toInt(all[2], t.halfOpen))
        return std::nullopt;
    if (all.size() >= 4 && !toInt(all[3], t.established))
        return std::nullopt;
    return t;
}

std::optional<std::string> readTail(const std::string &path, size_t maxBytes) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    struct stat st;
    std::string text;
    bool ok = fstat(fd, &st) == 0;
    off_t start = ok && static_cast<size_t>(st.st_size) > maxBytes
                      ? st.st_size - static_cast<off_t>(maxBytes)
                      : 0;
    if (ok && lseek(fd, start, SEEK_SET) == start) {
        char buf[65536];
        ssize_t n;
        while (text.size() < maxBytes &&
               (n = read(fd, buf, std::min(sizeof buf, maxBytes - text.size()))) > 0)
            text.append(buf, static_cast<size_t>(n));
        ok = n == 0 || text.size() >= maxBytes;
    }
    close(fd);
    if (!ok)
        return std::nullopt;
    if (start > 0) {
        size_t nl = text.find('\n');
        text.erase(0, nl == std::string::npos ? text.size() : nl + 1);
    }
    return text;
}

int appendRequest(const std::string &path, const std::string &line) {
    int fd = open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return errno;
    std::string out = line;
    struct stat st;
    char last = '\n';
    if (fstat(fd, &st) == 0 && st.st_size > 0 && pread(fd, &last, 1, st.st_size - 1) == 1 &&
        last != '\n')
        out.insert(out.begin(), '\n');
    ssize_t n = write(fd, out.data(), out.size());
    int err = n < 0 ? errno : (static_cast<size_t>(n) != out.size() ? EIO : 0);
    if (close(fd) != 0 && err == 0)
        err = errno;
    return err;
}

}  // namespace lbweb
