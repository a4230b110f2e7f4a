#pragma once

// A tiny HTTP/1.1 server on 127.0.0.1 (a port of the kernel's choosing) that
// answers each request with the next answer of its script and records what
// it was sent. An answer may stall instead: the server then reads the request
// and says nothing until the test ends.

#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct ScriptedAnswer {
  ScriptedAnswer(int status = 200, std::string body = {},
                 std::vector<std::pair<std::string, std::string>> headers = {}, bool stall = false)
      : status(status), body(std::move(body)), headers(std::move(headers)), stall(stall) {}
  int status;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  bool stall;
};

struct ReceivedRequest {
  std::string method;
  std::string target;  // path and query as sent
  std::vector<std::pair<std::string, std::string>> headers;  // names lowercase
  std::string body;
  std::string header(const std::string& name) const;
};

class ScriptedServer {
 public:
  ScriptedServer();
  ~ScriptedServer();

  // "http://127.0.0.1:PORT"
  std::string endpoint() const;
  void answer(ScriptedAnswer next);
  // The requests received so far.
  std::vector<ReceivedRequest> requests() const;

 private:
  void serve();
  void serveConnection(int fd);

  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::deque<ScriptedAnswer> script_;
  std::vector<ReceivedRequest> received_;
  std::vector<int> open_;
  std::thread thread_;
};
