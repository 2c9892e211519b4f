#include "controller/lbCurl/ctrlLogin.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <sstream>

#include "controller/lbCurl/restApi.h"

lbCtrlLogin lbCtrlLoginBuiltIn(void) {
    return {"sdn", "quorbit", "sdn"};
}

namespace {

// The file's whole content, through the descriptor whose mode was checked, so the file
// checked is the file read. Returns 0, or an errno value.
int readAll(int fd, std::string *out) {
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        if (n == 0)
            return 0;
        out->append(buf, static_cast<size_t>(n));
        if (out->size() > 65536)
            return EFBIG;
    }
}

int refuse(std::string *why, int line, const char *fault) {
    if (why != nullptr)
        *why = line > 0 ? "line " + std::to_string(line) + ": " + fault : fault;
    return -1;
}

}  // namespace

int lbCtrlLoginRead(const char *path, lbCtrlLogin *login, std::string *why) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0 && errno == ENOENT)
        return 1;
    if (fd < 0)
        return refuse(why, 0, strerror(errno));
    struct stat st;
    std::string text;
    int err = fstat(fd, &st) != 0 ? errno : 0;
    char mode[64] = "";
    if (err == 0 && S_ISREG(st.st_mode) && (st.st_mode & 077) == 0)
        err = readAll(fd, &text);
    close(fd);
    if (err != 0)
        return refuse(why, 0, strerror(err));
    if (!S_ISREG(st.st_mode))
        return refuse(why, 0, "not a regular file");
    if ((st.st_mode & 077) != 0) {
        snprintf(mode, sizeof mode, "group or others may read or write it (mode %04o); chmod 600",
                 static_cast<unsigned>(st.st_mode & 07777));
        return refuse(why, 0, mode);
    }
    lbCtrlLogin got;
    std::string *const slots[] = {&got.user, &got.password, &got.domain};
    const char *const keys[] = {"user", "password", "domain"};
    bool seen[3] = {false, false, false};
    std::istringstream in(text);
    int n = 0;
    for (std::string line; std::getline(in, line);) {
        ++n;
        const size_t end = line.find_last_not_of(" \t\r");
        line.erase(end == std::string::npos ? 0 : end + 1);
        const size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#')
            continue;
        const size_t keyEnd = line.find_first_of(" \t", start);
        const std::string key = line.substr(start, keyEnd - start);
        int k = 0;
        while (k < 3 && key != keys[k])
            ++k;
        if (k == 3)
            return refuse(why, n, "expected \"user NAME\", \"password SECRET\" or \"domain NAME\"");
        if (seen[k])
            return refuse(why, n, "a key given twice");
        const size_t valueAt =
            keyEnd == std::string::npos ? std::string::npos : line.find_first_not_of(" \t", keyEnd);
        if (valueAt == std::string::npos)
            return refuse(why, n, "a key without a value");
        const std::string value = line.substr(valueAt);
        if (value.size() > LB_CTRL_LOGIN_MAX)
            return refuse(why, n, "a value longer than 128 characters");
        for (unsigned char c : value)
            if (c < 0x20 || c == 0x7f)
                return refuse(why, n, "a control character in a value");
        seen[k] = true;
        *slots[k] = value;
    }
    for (int k = 0; k < 3; ++k)
        if (!seen[k])
            return refuse(why, 0,
                          k == 0   ? "no \"user NAME\" line"
                          : k == 1 ? "no \"password SECRET\" line"
                                   : "no \"domain NAME\" line");
    *login = got;
    return 0;
}

std::string lbCtrlLoginBody(const lbCtrlLogin &login) {
    auto text = [](const std::string &v) { return nlohmann::json(v).dump(); };
    return "{\"login\":{\"user\":" + text(login.user) + ",\"password\":" + text(login.password) +
           ",\"domain\":" + text(login.domain) + "}}";
}

int lbCtrlLoginLoad(const char *path) {
    lbCtrlLogin login = lbCtrlLoginBuiltIn();
    std::string why;
    const int rc = lbCtrlLoginRead(path, &login, &why);
    if (rc < 0) {
        fprintf(stderr, "%s refused: %s; not starting\n", path, why.c_str());
        return -1;
    }
    lbRestSetLoginBody(lbCtrlLoginBody(login));
    if (rc == 0)
        printf("Controller login: user %s, domain %s, from %s\n", login.user.c_str(),
               login.domain.c_str(), path);
    else
        printf("Controller login: built-in credentials (no %s)\n", path);
    return 0;
}
