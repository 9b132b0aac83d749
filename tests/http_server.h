// A small HTTP/1.1 server on 127.0.0.1 for tests: fixed replies by request
// target, every request recorded. It runs on its own threads and stops (and
// joins them) when destroyed, also when the test fails.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct HttpReply {
  int status = 200;
  std::string body;
  std::vector<std::string> headers;  // extra header lines, without line ends
  bool chunked = false;              // no length: chunked transfer encoding
  size_t chunkSize = 4096;
  int chunkDelayMs = 0;   // pause between chunks, so each arrives on its own
  int delayMs = 0;        // pause before the reply
  bool hang = false;      // never reply; wait until the server stops
};

class TestHttpServer {
 public:
  TestHttpServer();
  ~TestHttpServer();
  TestHttpServer(const TestHttpServer&) = delete;
  TestHttpServer& operator=(const TestHttpServer&) = delete;

  // The reply for a request target such as "/get?file=a.pls". Unknown
  // targets get a 404.
  void Route(const std::string& target, HttpReply reply);
  std::string Url(const std::string& target) const;
  int Port() const { return port_; }
  // The head of every request so far, in order.
  std::vector<std::string> Requests();

 private:
  void Accept();
  void Serve(int fd);
  bool WaitStop(int ms);  // true when the server is stopping

  int listen_ = -1;
  int stop_ = -1;  // eventfd, readable once stopping
  int port_ = 0;
  std::mutex mutex_;
  std::map<std::string, HttpReply> routes_;
  std::vector<std::string> requests_;
  std::vector<std::thread> handlers_;
  std::thread acceptor_;
};
