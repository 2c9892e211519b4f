// Controller requests made without waiting for them: libcurl's multi interface, several
// kept connections to the controller (HTTP/2 streams on one connection when the
// controller offers HTTP/2, otherwise a small pool of kept HTTP/1.1 connections), at
// most a given number of requests in flight and the rest queued in the order they came.
//
// Not thread-safe: one thread (the setup engine's) submits and runs everything; only
// wakeup() may be called from any thread. Replies are logged to the same files as the
// waiting requests' ("body2.out", "get.out", "get_path.out", "token_gen.log").
//
// A request with the token that gets a 401 has the module log in again (one login at a
// time, the requests that meet a 401 meanwhile wait for it) and is repeated once.
#pragma once

#include <stddef.h>

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// What a request is, which picks its log file and its method.
enum class lbAsyncKind { Login, FlowPost, FlowDelete, Node, Path };

// The outcome of one request: curlCode 0 (CURLE_OK) and the HTTP status when a reply
// arrived, else the transfer's error code and status 0.
struct lbAsyncReply {
    int curlCode = 0;
    long status = 0;
    std::string body;
    // True when the request did what was asked: a reply with a status below 400.
    bool ok() const { return curlCode == 0 && status > 0 && status < 400; }
    // True when the controller could not be reached or did not answer in time.
    bool transportFailed() const { return curlCode != 0; }
};

struct lbAsyncRequest {
    lbAsyncKind kind;
    std::string url;
    std::string body;  // flow body; empty for a GET (a login's body is built here)
    std::function<void(const lbAsyncReply &)> done;
};

class lbRestAsync {
  public:
    // maxInFlight: requests on the wire at once (at least 1); maxConnections: kept
    // connections to the controller (at least 1).
    lbRestAsync(int maxInFlight, int maxConnections);
    ~lbRestAsync();  // abandons whatever is still running, without callbacks
    lbRestAsync(const lbRestAsync &) = delete;
    lbRestAsync &operator=(const lbRestAsync &) = delete;

    // Queues a request; it starts once fewer than maxInFlight are running. Requests start
    // in the order submitted, and only inside run(): nothing goes on the wire before the
    // next call of run() (the setup engine relies on this to journal rules first).
    void submit(lbAsyncRequest rq);
    // Runs the transfers for at most timeoutMs (less when wakeup() is called or a
    // transfer ends) and calls the callbacks of the requests that ended, on this thread.
    void run(int timeoutMs);
    // Raises the bounds to at least maxInFlight requests on at least maxConnections
    // connections; never lowers them. Same thread as run().
    void widen(int maxInFlight, int maxConnections);
    // Ends run() early; any thread.
    void wakeup();
    // Requests started and not yet ended, and those still queued.
    size_t active() const { return running_.size(); }
    size_t queued() const { return queue_.size(); }

  private:
    struct Transfer;
    void start(lbAsyncRequest rq, bool retried);
    void finish(Transfer *t, int code);
    void startLogin();
    int collect();  // finishes the transfers that ended; how many

    void *multi_;
    int maxInFlight_;
    long maxConnections_;
    std::deque<std::pair<lbAsyncRequest, bool>> queue_;  // request, already retried
    std::vector<std::unique_ptr<Transfer>> running_;
    bool loginRunning_ = false;
    std::vector<lbAsyncRequest> awaitingLogin_;  // met a 401; repeated after the login
};
