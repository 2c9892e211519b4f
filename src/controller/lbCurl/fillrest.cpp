#include "controller/lbCurl/fillrest.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "common/lbUtil.h"

int lbCtrlUrl(char *url, size_t urlSize, unsigned char ssl, const char *hostPort,
              const char *version, const char *pathFmt, ...) {
    if (url == nullptr || urlSize == 0)
        return -1;
    url[0] = '\0';
    if (hostPort == nullptr || version == nullptr || pathFmt == nullptr)
        return -1;
    int base =
        lbFormat(url, urlSize, "%s%s/sdn/%s", ssl == 1 ? "https://" : "http://", hostPort, version);
    if (base < 0)
        return -1;
    va_list ap;
    va_start(ap, pathFmt);
    int path = lbVFormat(url + base, urlSize - static_cast<size_t>(base), pathFmt, ap);
    va_end(ap);
    if (path < 0) {
        url[0] = '\0';
        return -1;
    }
    return base + path;
}

int lbCtrlHostPort(char *dst, size_t dstSize, const char *ip) {
    if (ip == nullptr)
        return dst != nullptr && dstSize > 0 ? (dst[0] = '\0', -1) : -1;
    return lbFormat(dst, dstSize, "%s:%s", ip, LB_CTRL_PORT);
}

int createUrl(char *resUrl, size_t resUrlSize, int urlType, const char *ctrlIp,
              const char *ctrlPort, const char *switchId, unsigned char ssl) {
    return getUrl(resUrl, resUrlSize, urlType, ctrlIp, ctrlPort, switchId, ssl);
}

int getUrl(char *resUrl, size_t resUrlSize, int urlType, const char *ctrlIp, const char *ctrlPort,
           const char *switchId, unsigned char ssl) {
    (void)ctrlPort;
    if (resUrl == nullptr || resUrlSize == 0 || ctrlIp == nullptr)
        return -1;
    int n;
    switch (urlType) {
        case tokenUrl:
            n = lbCtrlUrl(resUrl, resUrlSize, ssl, ctrlIp, "v2.0", "/auth");
            break;
        case PostFlowDataUrl:
            if (switchId == nullptr)
                return -1;
            n = lbCtrlUrl(resUrl, resUrlSize, ssl, ctrlIp, "v2.0", "/of/datapaths/%s/flows",
                          switchId);
            break;
        default:
            return -1;
    }
    return n < 0 ? -1 : 0;
}
