#include "ScriptedServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

std::string ReceivedRequest::header(const std::string& name) const {
  for (const auto& [key, value] : headers)
    if (key == name) return value;
  return "";
}

ScriptedServer::ScriptedServer() {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener_ < 0) throw std::runtime_error("socket failed");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener_, 16) != 0)
    throw std::runtime_error("bind or listen on 127.0.0.1 failed");
  socklen_t length = sizeof address;
  ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { serve(); });
}

ScriptedServer::~ScriptedServer() {
  stopping_ = true;
  ::shutdown(listener_, SHUT_RDWR);
  {
    std::lock_guard lock(mutex_);
    for (int fd : open_) ::shutdown(fd, SHUT_RDWR);
  }
  thread_.join();
  ::close(listener_);
}

std::string ScriptedServer::endpoint() const { return "http://127.0.0.1:" + std::to_string(port_); }

void ScriptedServer::answer(ScriptedAnswer next) {
  std::lock_guard lock(mutex_);
  script_.push_back(std::move(next));
}

std::vector<ReceivedRequest> ScriptedServer::requests() const {
  std::lock_guard lock(mutex_);
  return received_;
}

void ScriptedServer::serve() {
  while (!stopping_) {
    pollfd wait{listener_, POLLIN, 0};
    if (::poll(&wait, 1, 50) <= 0) continue;
    int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    {
      std::lock_guard lock(mutex_);
      open_.push_back(fd);
    }
    serveConnection(fd);
    {
      std::lock_guard lock(mutex_);
      open_.erase(std::remove(open_.begin(), open_.end(), fd), open_.end());
    }
    ::close(fd);
  }
}

// One connection at a time, requests in turn (the client keeps one).
void ScriptedServer::serveConnection(int fd) {
  std::string buffer;
  char chunk[65536];
  auto readMore = [&]() {
    while (!stopping_) {
      pollfd wait{fd, POLLIN, 0};
      int ready = ::poll(&wait, 1, 50);
      if (ready == 0) continue;
      if (ready < 0) return false;
      ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0) return false;
      buffer.append(chunk, static_cast<size_t>(n));
      return true;
    }
    return false;
  };
  while (!stopping_) {
    size_t end;
    while ((end = buffer.find("\r\n\r\n")) == std::string::npos)
      if (!readMore()) return;
    ReceivedRequest request;
    std::string head = buffer.substr(0, end);
    buffer.erase(0, end + 4);
    size_t lineEnd = head.find("\r\n");
    std::string first = head.substr(0, lineEnd);
    size_t space1 = first.find(' '), space2 = first.rfind(' ');
    request.method = first.substr(0, space1);
    request.target = first.substr(space1 + 1, space2 - space1 - 1);
    size_t contentLength = 0;
    size_t at = lineEnd == std::string::npos ? head.size() : lineEnd + 2;
    while (at < head.size()) {
      size_t next = head.find("\r\n", at);
      if (next == std::string::npos) next = head.size();
      std::string line = head.substr(at, next - at);
      size_t colon = line.find(':');
      if (colon != std::string::npos) {
        std::string name = line.substr(0, colon);
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(' '));
        if (name == "content-length") contentLength = std::stoul(value);
        request.headers.emplace_back(name, value);
      }
      at = next + 2;
    }
    while (buffer.size() < contentLength)
      if (!readMore()) return;
    request.body = buffer.substr(0, contentLength);
    buffer.erase(0, contentLength);

    ScriptedAnswer reply;
    {
      std::lock_guard lock(mutex_);
      received_.push_back(request);
      if (script_.empty()) {
        reply.status = 599;
        reply.body = "<Error><Code>ScriptEnded</Code></Error>";
      } else {
        reply = std::move(script_.front());
        script_.pop_front();
      }
    }
    if (reply.stall) {
      while (readMore()) {
      }
      return;
    }
    std::string text = "HTTP/1.1 " + std::to_string(reply.status) + " Scripted\r\n";
    bool hasLength = false;
    for (const auto& [name, value] : reply.headers) {
      text += name + ": " + value + "\r\n";
      if (name == "Content-Length") hasLength = true;
    }
    if (!hasLength) text += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
    text += "\r\n";
    if (request.method != "HEAD") text += reply.body;
    for (size_t sent = 0; sent < text.size();) {
      ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += static_cast<size_t>(n);
    }
  }
}
