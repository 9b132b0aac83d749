#include "http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

TestHttpServer::TestHttpServer() {
  listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  stop_ = eventfd(0, EFD_CLOEXEC);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (listen_ < 0 || stop_ < 0 || bind(listen_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
      listen(listen_, 16) != 0 ||
      getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    throw std::runtime_error("cannot start the test HTTP server");
  port_ = ntohs(addr.sin_port);
  acceptor_ = std::thread([this] { Accept(); });
}

TestHttpServer::~TestHttpServer() {
  uint64_t one = 1;
  if (write(stop_, &one, sizeof one) != sizeof one) perror("eventfd");
  acceptor_.join();
  for (std::thread& t : handlers_) t.join();
  close(listen_);
  close(stop_);
}

void TestHttpServer::Route(const std::string& target, HttpReply reply) {
  std::lock_guard lock(mutex_);
  routes_[target] = std::move(reply);
}

std::string TestHttpServer::Url(const std::string& target) const {
  return "http://127.0.0.1:" + std::to_string(port_) + target;
}

std::vector<std::string> TestHttpServer::Requests() {
  std::lock_guard lock(mutex_);
  return requests_;
}

bool TestHttpServer::WaitStop(int ms) {
  pollfd p{stop_, POLLIN, 0};
  return poll(&p, 1, ms) > 0;
}

void TestHttpServer::Accept() {
  for (;;) {
    pollfd p[2] = {{stop_, POLLIN, 0}, {listen_, POLLIN, 0}};
    if (poll(p, 2, -1) < 0) continue;
    if (p[0].revents) return;
    int fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard lock(mutex_);
    handlers_.emplace_back([this, fd] {
      Serve(fd);
      close(fd);
    });
  }
}

namespace {
bool Send(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}
}  // namespace

void TestHttpServer::Serve(int fd) {
  std::string head;
  char buf[4096];
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
    pollfd p[2] = {{stop_, POLLIN, 0}, {fd, POLLIN, 0}};
    if (poll(p, 2, 5000) <= 0 || p[0].revents) return;
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return;
    head.append(buf, static_cast<size_t>(n));
  }
  // "GET /target HTTP/1.1", or an absolute URL when we serve as a proxy.
  size_t sp1 = head.find(' ');
  size_t sp2 = head.find(' ', sp1 + 1);
  std::string target = head.substr(sp1 + 1, sp2 - sp1 - 1);
  if (target.rfind("http://", 0) == 0) {
    size_t slash = target.find('/', 7);
    target = slash == std::string::npos ? "/" : target.substr(slash);
  }
  HttpReply reply;
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(head.substr(0, head.find("\r\n\r\n")));
    auto it = routes_.find(target);
    if (it != routes_.end()) {
      reply = it->second;
    } else {
      reply.status = 404;
      reply.body = "not found\n";
    }
  }
  if (reply.hang) {
    WaitStop(-1);
    return;
  }
  if (reply.delayMs > 0 && WaitStop(reply.delayMs)) return;
  std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " X\r\nConnection: close\r\n";
  for (const std::string& h : reply.headers) out += h + "\r\n";
  if (!reply.chunked) {
    out += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n\r\n" + reply.body;
    Send(fd, out);
    return;
  }
  out += "Transfer-Encoding: chunked\r\n\r\n";
  if (!Send(fd, out)) return;
  for (size_t at = 0; at < reply.body.size(); at += reply.chunkSize) {
    std::string piece = reply.body.substr(at, reply.chunkSize);
    char size[32];
    snprintf(size, sizeof size, "%zx\r\n", piece.size());
    if (!Send(fd, size + piece + "\r\n")) return;
    if (reply.chunkDelayMs > 0 && WaitStop(reply.chunkDelayMs)) return;
  }
  Send(fd, "0\r\n\r\n");
}
