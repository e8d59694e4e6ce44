#include "server/OrvConnections.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

namespace orv_serve {

// Per-thread flags behind functions: an extern thread_local variable shared by two
// sources is reached through a TLS wrapper, which the sanitizer build's UBSan found
// storing through null; a function-local one is reached by a plain call.
bool& closeAfterAnswer() {
  thread_local bool flag = false;
  return flag;
}
bool& refuseEveryConnection() {
  thread_local bool flag = false;
  return flag;
}

// Waits until `fd` is ready for `events` (or failed: the next call reports it), or
// until `deadline`; false on the deadline.
bool waitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd, events, 0};
    const int n = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

// "ip" and port of either end of a socket; "" and -1 when it is not an IP socket.
void socketAddress(int fd, bool peer, std::string& ip, int& port) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  auto* raw = reinterpret_cast<sockaddr*>(&address);
  ip.clear();
  port = -1;
  if ((peer ? ::getpeername(fd, raw, &length) : ::getsockname(fd, raw, &length)) != 0) return;
  char text[INET6_ADDRSTRLEN] = {0};
  if (address.ss_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(&address);
    ::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
    port = ntohs(in->sin_port);
  } else if (address.ss_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&address);
    ::inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
    port = ntohs(in6->sin6_port);
  }
  ip = text;
}

// After an answer that left part of a body unread: closing at once would reset the
// connection, and a reset can destroy the answer before the client reads it. So the
// answer is ended (FIN) and what the client still sends is read and dropped until it
// stops, up to kLingerBytes or `time`.
void lingerAfterAnswer(int fd, Clock::duration time) {
  constexpr std::size_t kLingerBytes = 4u << 20;
  ::shutdown(fd, SHUT_WR);
  const auto deadline = Clock::now() + time;
  char buffer[16384];
  for (std::size_t dropped = 0; dropped < kLingerBytes && waitFor(fd, POLLIN, deadline);) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    dropped += static_cast<std::size_t>(n);
  }
}

// Reads the decoded body up to `limit` bytes, taking each chunk from `held` when given
// (given back by the caller through `*taken`). Decoding (gzip, brotli, deflate) and
// chunked framing happen below the receiver, so the bound holds for the bytes a body
// decodes to, and reading stops at the first chunk past it.
BodyRead readBody(const httplib::ContentReader& reader, std::size_t limit, std::string* body,
                  HeldBytes* held, std::size_t* taken) {
  BodyRead outcome = BodyRead::kWhole;
  const bool complete = reader([&](const char* data, std::size_t length) {
    if (body->size() + length > limit) {
      outcome = BodyRead::kTooLarge;
      return false;
    }
    if (held) {
      if (!held->take(length)) {
        outcome = BodyRead::kNoRoom;
        return false;
      }
      *taken += length;
    }
    body->append(data, length);
    return true;
  });
  if (complete) return BodyRead::kWhole;
  closeAfterAnswer() = true;
  return outcome == BodyRead::kWhole ? BodyRead::kBroken : outcome;
}

OrvAdmission::Verdict OrvAdmission::admit(int fd, const std::string& client, bool stopping) {
  std::lock_guard lock(mutex_);
  if (stopping || refuseEveryConnection()) return Verdict::kNotServing;
  const auto mine = connectionsPerClient_.find(client);
  const std::size_t held = mine == connectionsPerClient_.end() ? 0 : mine->second;
  if (held >= maxPerClient_) return Verdict::kClientFull;
  if (openSockets_.size() - evictedCount_ >= OrvConfigServer::kMaxConnections) {
    std::string heaviest;
    std::size_t most = 0;
    for (const auto& [address, count] : connectionsPerClient_)
      if (count > most) most = count, heaviest = address;
    if (most < held + 2) return Verdict::kServerFull;
    OpenConnection* oldest = nullptr;
    int oldestFd = -1;
    for (auto& [socket, open] : openSockets_) {
      if (open.client != heaviest || open.evicted) continue;
      if (!oldest || open.since < oldest->since) oldest = &open, oldestFd = socket;
    }
    if (!oldest) return Verdict::kServerFull;
    oldest->evicted = true;
    ++evictedCount_;
    ::shutdown(oldestFd, SHUT_RDWR);
  }
  ++connectionsPerClient_[client];
  openSockets_[fd] = OpenConnection{client, Clock::now()};
  return Verdict::kAdmitted;
}

void OrvAdmission::release(int fd, const std::string& client) {
  std::lock_guard lock(mutex_);
  if (--connectionsPerClient_[client] == 0) connectionsPerClient_.erase(client);
  // Removed before it is closed, so neither shutdownAll() nor an eviction ever shuts
  // down a reused descriptor.
  const auto open = openSockets_.find(fd);
  if (open->second.evicted) --evictedCount_;
  openSockets_.erase(open);
}

void OrvAdmission::shutdownAll() {
  std::lock_guard lock(mutex_);
  for (const auto& [fd, open] : openSockets_) ::shutdown(fd, SHUT_RDWR);
}

std::string OrvAdmission::refusal(Verdict why) const {
  std::string body;
  switch (why) {
    case Verdict::kClientFull:
      body = "orvexp serve: this client address already holds " + std::to_string(maxPerClient_) +
             " connections, the most one address may hold at once. Close one and retry, or "
             "start orvexp serve with --max-connections-per-client N (1 to " +
             std::to_string(OrvConfigServer::kMaxConnections) + ", default " +
             std::to_string(OrvConfigServer::kMaxConnectionsPerClient) + ") to allow more.\n";
      break;
    case Verdict::kServerFull:
      body = "orvexp serve: all " + std::to_string(OrvConfigServer::kMaxConnections) +
             " connections it serves at once are taken; retry later.\n";
      break;
    default:
      body =
          "orvexp serve: not taking connections now (stopping, or out of threads); retry "
          "later.\n";
  }
  return "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain; charset=utf-8\r\n"
         "Content-Length: " +
         std::to_string(body.size()) + "\r\nRetry-After: 1\r\nConnection: close\r\n\r\n" + body;
}

}  // namespace orv_serve
