// The DNS transport on POSIX: c-ares.
//
// One c-ares channel, owned by one event thread (the library's channel must
// not be used from several threads at once). Callers hand their questions
// over through a locked queue and a wake-up pipe and wait on their batch's
// condition variable; the answers come back as raw messages, walked by the
// resolver's reply parser, which maps their status. The
// name is always taken as given: no search list is applied.
//
// Time-outs: every server is tried kTries times, the first try waiting
// kTimeoutMs (c-ares doubles the wait on later rounds). SERVFAIL, NOTIMP
// and REFUSED answers are handed back instead of moving on to the next
// server: their code decides whether the outcome is temporary or permanent.
// A truncated answer is asked again over TCP.
#include <ares.h>
#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <exception>
#include <thread>
#include <vector>

#include "base/ipv4.h"
#include "base/metrics.h"
#include "platform/dnstransport.h"

namespace plat {

using namespace dns;

namespace {

constexpr int kTimeoutMs = 2000;
constexpr int kTries = 2;
// Query names of more than this many characters cannot be encoded.
constexpr size_t kMaxQueryName = NS_MAXDNAME - 1;
// A waiting caller looks at its deadline (which a stop may move) this often.
constexpr int kDeadlinePollMs = 100;
// The event thread's longest sleep without a wake-up.
constexpr int kIdlePollMs = 1000;
// Socket buffers: the answers of many records' questions arrive together
// on one socket (the system caps the size it grants).
constexpr int kSocketBuffer = 4 << 20;

// Servers of dnsservers as "a.b.c.d:port,..."; empty: /etc/resolv.conf.
std::mutex g_servers_lock;
std::string g_servers;
// Bumped by every dnsservers call so that the channel is rebuilt.
std::atomic<unsigned> g_generation{1};

// The answers of one caller's batch. Shared with the requests in flight,
// so that an answer arriving after its caller gave up finds it alive.
struct Batch {
  std::mutex m;
  std::condition_variable cv;
  Lookup* items = nullptr;
  DnsReplyParser parse = nullptr;
  std::vector<char> done;
  size_t left = 0;
  bool abandoned = false;

  void finish(size_t i, int status, RecordList* records, uint32_t negttl) {
    std::lock_guard<std::mutex> lock(m);
    if (abandoned || done[i]) return;
    done[i] = 1;
    items[i].status = status;
    items[i].records.swap(*records);
    items[i].negttl = negttl;
    if (--left == 0) cv.notify_all();
  }
};

struct Request {
  std::shared_ptr<Batch> batch;
  size_t index;
  std::string name;
  uint16_t type;
};

int mapstatus(int status) {
  switch (status) {
    case ARES_ECONNREFUSED: return kStatusServFail;
    case ARES_EBADNAME: return kStatusInvalidName;
    case ARES_ENOMEM: return kStatusNoMemory;
    case ARES_EBADRESP: return kStatusBadPacket;
    default: return kStatusTimeout;
  }
}

void answered(void* arg, int status, int, unsigned char* abuf, int alen) {
  Request* req = (Request*)arg;
  RecordList records;
  uint32_t negttl = 0;
  int st = mapstatus(status);
  if (status == ARES_SUCCESS) metrics::add(metrics::counters.dns_answers);
  else if (status == ARES_ETIMEOUT) metrics::add(metrics::counters.dns_timeouts);
  if (status == ARES_SUCCESS && abuf != nullptr && alen > 0)
    st = req->batch->parse(abuf, (size_t)alen, &records, &negttl);
  req->batch->finish(req->index, st, &records, negttl);
  delete req;
}

class Engine {
 public:
  bool start() {
    if (ares_library_init(ARES_LIB_INIT_ALL) != ARES_SUCCESS) return false;
    if (pipe(wake_) != 0) return false;
    for (int fd : wake_) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    if (!rebuild()) return false;
    try {
      std::thread([this] { run(); }).detach();
    } catch (const std::exception&) {  // refused, or no memory for its stack
      return false;
    }
    return true;
  }

  void submit(std::vector<Request*>* reqs) {
    {
      std::lock_guard<std::mutex> lock(lock_);
      for (Request* r : *reqs) incoming_.push_back(r);
    }
    char c = 1;
    (void)!write(wake_[1], &c, 1);
  }

 private:
  // (Re)creates the channel with the current server list; pending queries
  // of an old channel end as time-outs.
  bool rebuild() {
    generation_ = g_generation.load();
    if (channel_ != nullptr) ares_destroy(channel_);
    channel_ = nullptr;
    ares_options opts;
    memset(&opts, 0, sizeof opts);
    opts.flags = ARES_FLAG_NOCHECKRESP | ARES_FLAG_NOSEARCH;
    opts.timeout = kTimeoutMs;
    opts.tries = kTries;
    opts.socket_receive_buffer_size = kSocketBuffer;
    opts.socket_send_buffer_size = kSocketBuffer;
    int mask = ARES_OPT_FLAGS | ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES | ARES_OPT_SOCK_RCVBUF |
               ARES_OPT_SOCK_SNDBUF;
    if (ares_init_options(&channel_, &opts, mask) != ARES_SUCCESS) {
      channel_ = nullptr;
      return false;
    }
    std::string servers;
    {
      std::lock_guard<std::mutex> lock(g_servers_lock);
      servers = g_servers;
    }
    if (!servers.empty()) ares_set_servers_ports_csv(channel_, servers.c_str());
    return true;
  }

  void send(Request* r) {
    unsigned char* buf = nullptr;
    int len = 0;
    if (channel_ == nullptr) {
      answered(r, ARES_ECONNREFUSED, 0, nullptr, 0);
      return;
    }
    if (r->name.size() > kMaxQueryName ||
        ares_create_query(r->name.c_str(), ns_c_in, r->type, 0, 1, &buf, &len, 0) != ARES_SUCCESS) {
      answered(r, ARES_EBADNAME, 0, nullptr, 0);
      return;
    }
    metrics::add(metrics::counters.dns_queries);
    ares_send(channel_, buf, len, answered, r);
    ares_free_string(buf);
  }

  void run() {
    for (;;) {
      std::deque<Request*> batch;
      {
        std::lock_guard<std::mutex> lock(lock_);
        batch.swap(incoming_);
      }
      if (g_generation.load() != generation_) rebuild();
      for (Request* r : batch) send(r);
      wait();
    }
  }

  // Sleeps until a socket of the channel is ready, a time-out is due or a
  // caller wakes us, then lets c-ares do its work.
  void wait() {
    pollfd fds[ARES_GETSOCK_MAXNUM + 1];
    ares_socket_t socks[ARES_GETSOCK_MAXNUM];
    int n = 0;
    int bits = channel_ ? ares_getsock(channel_, socks, ARES_GETSOCK_MAXNUM) : 0;
    for (int i = 0; i < ARES_GETSOCK_MAXNUM; i++) {
      short ev = 0;
      if (ARES_GETSOCK_READABLE(bits, i)) ev |= POLLIN;
      if (ARES_GETSOCK_WRITABLE(bits, i)) ev |= POLLOUT;
      if (ev) fds[n++] = {socks[i], ev, 0};
    }
    fds[n] = {wake_[0], POLLIN, 0};
    int ms = kIdlePollMs;
    if (channel_) {
      timeval max = {kIdlePollMs / 1000, (kIdlePollMs % 1000) * 1000}, tv;
      timeval* t = ares_timeout(channel_, &max, &tv);
      ms = (int)(t->tv_sec * 1000 + (t->tv_usec + 999) / 1000);
    }
    int ready = poll(fds, (nfds_t)n + 1, ms);
    if (fds[n].revents & POLLIN) {
      char drain[64];
      while (read(wake_[0], drain, sizeof drain) > 0) {
      }
    }
    if (channel_ == nullptr) return;
    bool any = false;
    for (int i = 0; ready > 0 && i < n; i++) {
      if (fds[i].revents == 0) continue;
      any = true;
      ares_socket_t r = (fds[i].revents & (POLLIN | POLLERR | POLLHUP)) ? fds[i].fd : ARES_SOCKET_BAD;
      ares_socket_t w = (fds[i].revents & POLLOUT) ? fds[i].fd : ARES_SOCKET_BAD;
      ares_process_fd(channel_, r, w);
    }
    // Time-outs are handled by a call without a ready socket.
    if (!any) ares_process_fd(channel_, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
  }

  std::mutex lock_;
  std::deque<Request*> incoming_;
  int wake_[2] = {-1, -1};
  ares_channel channel_ = nullptr;
  unsigned generation_ = 0;
};

// The engine starts with the first query; null when it cannot.
Engine* engine() {
  static Engine* e = [] {
    Engine* made = new Engine;
    if (!made->start()) {
      delete made;
      return (Engine*)nullptr;
    }
    return made;
  }();
  return e;
}

}  // namespace

int dnsavailable() { return engine() != nullptr ? 1 : 0; }

void dnsbatch(Lookup* items, size_t count, const DnsTimeLeft& left, DnsReplyParser parse) {
  if (count == 0) return;
  auto batch = std::make_shared<Batch>();
  batch->items = items;
  batch->parse = parse;
  batch->done.assign(count, 0);
  batch->left = count;
  for (size_t i = 0; i < count; i++) {
    items[i].records.clear();
    items[i].status = kStatusTimeout;
    items[i].negttl = 0;
  }
  Engine* e = engine();
  if (e == nullptr) {
    for (size_t i = 0; i < count; i++) items[i].status = kStatusServFail;
    return;
  }
  if (left() == 0) return;
  std::vector<Request*> reqs;
  reqs.reserve(count);
  for (size_t i = 0; i < count; i++) reqs.push_back(new Request{batch, i, items[i].name, items[i].type});
  e->submit(&reqs);
  std::unique_lock<std::mutex> lock(batch->m);
  while (batch->left > 0) {
    int64_t ms = left();
    if (ms == 0) break;
    int64_t wait = kDeadlinePollMs;
    if (ms > 0) wait = std::min<int64_t>(wait, ms);
    batch->cv.wait_for(lock, std::chrono::milliseconds(wait));
  }
  // What is still unanswered stays a time-out; late answers are dropped.
  batch->abandoned = true;
}

int dnsservers(const NameServer* list, size_t count) {
  std::string servers;
  for (size_t i = 0; i < count; i++) {
    char addr[INET_ADDRSTRLEN];
    dotted(list[i].addr, addr, sizeof addr);
    if (!servers.empty()) servers += ',';
    servers += std::string(addr) + ":" + std::to_string(list[i].port);
  }
  {
    std::lock_guard<std::mutex> lock(g_servers_lock);
    g_servers = std::move(servers);
  }
  g_generation.fetch_add(1);
  return 1;
}

}  // namespace plat
