// The packet sockets on a veth pair: frames from the wire come in (cut to the buffer),
// other interfaces and the host's own sends never do; sending before opening fails.
#include "rawsock/lb_rawsock.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "support/lbtest_util.h"
#include "support/veth_util.h"

namespace {

using lbtest::Frame;

// A frame of the local experimental type 0x88b5, len bytes, its payload all tag.
Frame frame(unsigned char tag, size_t len = 60) {
    Frame f(len, tag);
    const unsigned char head[] = {2, 0, 0, 0, 0xaa, 1, 2, 0, 0, 0, 0xaa, 2, 0x88, 0xb5};
    std::copy(std::begin(head), std::end(head), f.begin());
    return f;
}

TEST(RawSock, SendBeforeOpeningFailsWithBothMessages) {
    Frame f = frame(1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(lb_client_rawsock_send(f.data(), static_cast<uint32_t>(f.size())), -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("CTRL:Msg received, when CTRL was not ready\r\n"), std::string::npos) << err;
    EXPECT_NE(err.find("CTRL:Tx-sendto error\n"), std::string::npos) << err;
}

TEST(RawSock, OnTheWire) {
    lbtest::VethPair veth("lbr0", "lbr1");
    ASSERT_TRUE(veth.ok());
    const int far = veth.farSocket();
    ASSERT_GE(far, 0);
    int rc = -1;
    std::string out = lbtest::printed([&] { rc = lb_client_rawsock_init("lbr0", "lbr0"); });
    ASSERT_EQ(rc, 0) << out;
    EXPECT_EQ(lb_send_sock_fd, lb_recv_sock_fd);
    auto fromFar = [far](const Frame &f) {
        EXPECT_EQ(send(far, f.data(), f.size(), 0), ssize_t(f.size()));
    };
    auto atFar = [far](unsigned char *b, int n) { return int(recv(far, b, n, 0)); };

    unsigned char buf[100];
    errno = 0;
    EXPECT_EQ(lb_client_rawsock_recv(buf, sizeof buf), -1);  // nothing waiting: no wait
    EXPECT_EQ(errno, EAGAIN);
    const Frame longer = frame(7, 200), cut(longer.begin(), longer.begin() + 100);
    fromFar(longer);
    lbtest::framesUntil([](unsigned char *b, int) { return lb_client_rawsock_recv(b, 100); }, cut);

    // Each frame is emitted before a marker from the wire; it would arrive before that.
    auto sendOn = [](const char *ifname) {
        return [ifname](const Frame &f) {
            int fd = lbtest::packetSocketOn(ifname);
            EXPECT_EQ(send(fd, f.data(), f.size(), 0), ssize_t(f.size()));
            close(fd);
        };
    };
    struct Case {
        const char *what;
        std::function<void(const Frame &)> emit;
        bool leaves;  // it goes out to the far end
    } cases[] = {
        {"a frame on another interface (loopback)", sendOn("lo"), false},
        {"a frame another socket of the host sends out", sendOn("lbr0"), true},
        {"the balancer's own send",
         [](const Frame &f) { EXPECT_EQ(lb_client_rawsock_send(f.data(), uint32_t(f.size())), 0); },
         true},
    };
    unsigned char tag = 0x10;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const Frame unwanted = frame(tag++), marker = frame(tag++);
        c.emit(unwanted);
        if (c.leaves)
            lbtest::framesUntil(atFar, unwanted);
        fromFar(marker);
        for (const Frame &f : lbtest::framesUntil(lb_client_rawsock_recv, marker))
            EXPECT_NE(f, unwanted);
    }

    // More frames than one receive system call takes come out whole, once each and in
    // order (the kernel's own IPv6 frames on the link are left out of the comparison).
    auto ours = [](const std::vector<Frame> &seen) {
        std::vector<Frame> kept;
        for (const Frame &f : seen)
            if (f.size() > 13 && f[12] == 0x88 && f[13] == 0xb5)
                kept.push_back(f);
        return kept;
    };
    std::vector<Frame> burst;
    for (unsigned char tag = 0x40; tag < 0x40 + 40; ++tag)
        burst.push_back(frame(tag, 60 + tag));
    for (const Frame &f : burst)
        fromFar(f);
    EXPECT_EQ(ours(lbtest::framesUntil(lb_client_rawsock_recv, burst.back())), burst);

    // Frames taken from the socket but not yet handed out go with it when it is closed.
    const Frame first = frame(0x70), left = frame(0x71), marker = frame(0x72);
    fromFar(first);
    fromFar(left);
    EXPECT_EQ(ours(lbtest::framesUntil(lb_client_rawsock_recv, first)).size(), 1u);
    lb_client_rawsock_close();
    out = lbtest::printed([&] { rc = lb_client_rawsock_init("lbr0", "lbr0"); });
    ASSERT_EQ(rc, 0) << out;
    fromFar(marker);
    EXPECT_EQ(ours(lbtest::framesUntil(lb_client_rawsock_recv, marker)),
              std::vector<Frame>{marker});
    lb_client_rawsock_close();
    close(far);
}

}  // namespace
