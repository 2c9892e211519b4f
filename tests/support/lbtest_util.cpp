#include "lbtest_util.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "common/lbGlobals.h"
#include "controller/lbCurl/lb_pathlist.h"
#include "flowtable/lbFlowDb.h"

namespace lbtest {

std::string readFile(const std::string &path) {
    std::ostringstream ss;
    ss << std::ifstream(path, std::ios::binary).rdbuf();
    return ss.str();
}

void writeFile(const std::string &path, const std::string &content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    ASSERT_TRUE(out << content) << "cannot write " << path;
}

void setFile(const std::string &path, const char *text) {
    unlink(path.c_str());
    if (text != nullptr)
        writeFile(path, text);
}

bool fileExists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

size_t count(const std::string &hay, const std::string &needle) {
    size_t n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1))
        n++;
    return n;
}

std::string printed(const std::function<void()> &f) {
    testing::internal::CaptureStdout();
    f();
    return testing::internal::GetCapturedStdout();
}

std::string errPrinted(const std::function<void()> &f) {
    testing::internal::CaptureStderr();
    f();
    return testing::internal::GetCapturedStderr();
}

bool waitUntil(const std::function<bool()> &done, std::chrono::milliseconds deadline) {
    for (auto end = std::chrono::steady_clock::now() + deadline; !done();
         std::this_thread::sleep_for(std::chrono::milliseconds(10)))
        if (std::chrono::steady_clock::now() > end)
            return false;
    return true;
}

std::string sourceDir() {
    // A suite started by hand falls back to the tree it was configured from.
    const char *dir = std::getenv("LBTEST_SOURCE_DIR");
    return dir ? dir : LBTEST_DEFAULT_SOURCE_DIR;
}

int64_t fakeNowMs = 0;
int64_t fakeClock() {
    return fakeNowMs;
}

void resetState() {
    static const lbClockFn realClock = lbFlowClock;
    lbFlowTable_stopWriter();  // first: it may be writing from what is cleared below
    lbFlowTable_setWriteInterval(0);
    lbFlowClock = realClock;
    g_halfOpenTmr = LB_HALF_OPEN_DEFAULT;
    g_estIdleTmr = LB_EST_IDLE_DEFAULT;
    if (g_lbServFlowTable_tree != nullptr)
        RBTreeDestroy(g_lbServFlowTable_tree);
    g_lbServFlowTable_tree = nullptr;
    numFlowEntries = 0;
    delete_all_lbServerNodes();
    Server_list_init();
    g_lbNumServers = 0;
    auto clear = [](auto &...text) { (memset(text, 0, sizeof text), ...); };
    clear(g_cont1IPAddr, g_contMacAddr, g_switchDpId, g_vipIPAddr, g_vlanId, g_addFlowTmr,
          g_delFlowTmr, cluster_name);
    g_lbAppPort = 0;
    Gv_noPrint = 1;
}

TcpListener::TcpListener(const char *addr, uint16_t port, int backlog, bool accepting) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = inet_addr(addr);
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0) << addr << ':' << port;
    EXPECT_EQ(listen(fd_, backlog), 0) << addr << ':' << port;
    if (!accepting || pipe2(stop_, O_CLOEXEC) != 0)
        return;
    acceptor_ = std::thread([fd = fd_, stop = stop_[0]] {
        pollfd p[2] = {{fd, POLLIN, 0}, {stop, POLLIN, 0}};
        while (poll(p, 2, -1) >= 0 && p[1].revents == 0) {
            const int conn = accept(fd, nullptr, nullptr);
            if (conn >= 0)
                close(conn);
        }
    });
}

TcpListener::~TcpListener() {
    if (acceptor_.joinable()) {
        EXPECT_EQ(write(stop_[1], "x", 1), 1);
        acceptor_.join();
    }
    for (int fd : {fd_, stop_[0], stop_[1]})
        if (fd >= 0)
            close(fd);
}

lbServer_node_t *addServer(const char *ip, const char *name, int maxconn) {
    lbServer_node_t *s = create_lbServer_node(&lbServHead);
    s->lbServIp.s_addr = inet_addr(ip);
    snprintf(s->server_name, sizeof s->server_name, "%s", name);
    s->maxconn = maxconn;
    return s;
}

std::vector<std::string> serverNames() {
    std::vector<std::string> out;
    for (dlist_node *n = lbServHead.next; n != &lbServHead; n = n->next)
        out.push_back(static_cast<lbServer_node_t *>(n->data)->server_name);
    return out;
}

std::vector<Hop> hops(dlist_head *list) {
    std::vector<Hop> out;
    for (dlist_node *n = list->next; n != list; n = n->next) {
        auto *h = static_cast<pathlist_node_t *>(n->data);
        out.emplace_back(h->node_dpid, h->in_port, h->out_port);
    }
    return out;
}

}  // namespace lbtest
