// The packet sockets on a veth pair: frames from the wire come in (cut to the buffer),
// one at a time or in batches; other interfaces and the host's own sends never do;
// sending before opening fails; a batched send loses only the frame refused.
#include "rawsock/lb_rawsock.h"

#include <gtest/gtest.h>

#include <algorithm>
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
    // What, how it is emitted, whether it goes out to the far end.
    const std::tuple<const char *, std::function<void(const Frame &)>, bool> cases[] = {
        {"a frame on another interface (loopback)", sendOn("lo"), false},
        {"a frame another socket of the host sends out", sendOn("lbr0"), true},
        {"the balancer's own send",
         [](const Frame &f) { EXPECT_EQ(lb_client_rawsock_send(f.data(), uint32_t(f.size())), 0); },
         true},
    };
    unsigned char tag = 0x10;
    for (const auto &[what, emit, leaves] : cases) {
        SCOPED_TRACE(what);
        const Frame unwanted = frame(tag++), marker = frame(tag++);
        emit(unwanted);
        if (leaves)
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

    // The batched receive: the same frames in order, in place, cut to the capacity given,
    // several per call.
    std::vector<Frame> cutBurst, batched;
    for (unsigned char tag = 0x50; tag < 0x50 + 10; ++tag) {
        const Frame f = frame(tag, 90 + 3 * tag % 40 + (tag % 3 == 0 ? 100 : 0));
        fromFar(f);
        cutBurst.emplace_back(f.begin(), f.begin() + std::min<size_t>(f.size(), 100));
    }
    int mostAtOnce = 0;
    EXPECT_TRUE(lbtest::waitUntil([&] {
        lb_rx_frame got[LB_RAWSOCK_BATCH];
        const int n = lb_client_rawsock_recv_batch(got, LB_RAWSOCK_BATCH, 100);
        for (int i = 0; i < n; ++i)
            batched.emplace_back(got[i].buf, got[i].buf + got[i].len);
        mostAtOnce = std::max(mostAtOnce, n);
        return std::find(batched.begin(), batched.end(), cutBurst.back()) != batched.end();
    }));
    EXPECT_EQ(ours(batched), cutBurst);
    EXPECT_GT(mostAtOnce, 1);

    // A batched send whose middle frame the interface refuses (longer than its MTU): that
    // frame alone is lost, with the line of a failed send; the others leave, in order.
    const Frame before = frame(0x60), tooLong = frame(0x61, 1600), after = frame(0x62);
    lb_tx_frame out3[] = {{before.data(), uint32_t(before.size()), -1},
                          {tooLong.data(), uint32_t(tooLong.size()), 0},
                          {after.data(), uint32_t(after.size()), -1}};
    testing::internal::CaptureStderr();
    EXPECT_EQ(lb_client_rawsock_send_batch(out3, 3), 2u);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(out3[0].rc == 0 && out3[1].rc == -1 && out3[2].rc == 0);
    const std::string line = "CTRL:Tx-sendto error\n";
    EXPECT_NE(err.find(line), std::string::npos) << err;
    EXPECT_EQ(err.find(line, err.find(line) + 1), std::string::npos) << err;
    EXPECT_EQ(ours(lbtest::framesUntil(atFar, after)), (std::vector<Frame>{before, after}));

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
