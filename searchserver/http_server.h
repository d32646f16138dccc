// The HTTP front end: an event-driven server (libmicrohttpd, epoll) that gives a request to a handler only
// once its head has fully arrived. Idle or slow connections therefore cost a socket each, never a thread, and
// cannot keep other requests waiting; each connection has an idle deadline and the server a connection cap.
// Requests whose work is heavy (making a picture) wait for workers of their own, so that they never hold up
// the others. It answers only the user it runs as: anyone else's connection gets 403 and nothing more.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace tessaron::search {

struct HttpRequest {
  std::string method;                              // "GET", "HEAD", ...
  std::string path;                                // decoded, without the query
  std::multimap<std::string, std::string> params;  // query arguments, decoded; values may hold any byte
  std::map<std::string, std::string> headers;      // names in lower case
  // A POST's form fields (application/x-www-form-urlencoded, at most maxFormBytes), decoded; never mixed with
  // the query's arguments.
  std::multimap<std::string, std::string> form;

  // The first value of a query argument, or empty.
  std::string param(const std::string& name) const;
  // The first value of a form field, or empty.
  std::string field(const std::string& name) const;
  // A header's value, or empty.
  std::string header(const std::string& name) const;
};

// A larger request body is refused (413) without being kept.
inline constexpr std::size_t maxFormBytes = 16384;

// An open file sent as a response's body, read as it is sent (never whole in memory); closed when the last
// holder lets it go.
class FileBody {
 public:
  FileBody(int descriptor, std::uint64_t size) : descriptor_(descriptor), size_(size) {}
  ~FileBody();
  FileBody(const FileBody&) = delete;
  FileBody& operator=(const FileBody&) = delete;
  int descriptor() const { return descriptor_; }
  std::uint64_t size() const { return size_; }

 private:
  int descriptor_;
  std::uint64_t size_;
};

struct HttpResponse {
  int status = 200;
  std::string contentType = "text/plain; charset=utf-8";
  std::string body;
  std::map<std::string, std::string> headers;
  std::shared_ptr<FileBody> file;  // sent instead of `body` when there is one
};

using HttpHandler = std::function<HttpResponse(const HttpRequest&)>;

struct HttpLimits {
  unsigned threads = 4;                  // request handlers running at once
  unsigned connections = 4000;           // open connections at most; more are refused at once
  unsigned idleSeconds = 10;             // a connection that sends nothing for this long is closed
  unsigned listenBacklog = 4096;         // connections the kernel holds while all threads are busy
  std::size_t requestHeadBytes = 32768;  // a longer request head is refused
  unsigned heavyWorkers = 2;             // heavy requests worked on at once
  std::size_t heavyQueue = 64;           // heavy requests waiting at most; more are answered 503 at once
};

// Whether a request's work is heavy.
using HeavyRequest = std::function<bool(const HttpRequest&)>;

class HttpServer {
 public:
  // Listens on 127.0.0.1:port; throws std::runtime_error when it cannot.
  HttpServer(std::uint16_t port, HttpHandler handler, HttpLimits limits = {}, HeavyRequest heavy = {});
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

 private:
  struct Daemon;
  std::unique_ptr<Daemon> daemon_;
};

}  // namespace tessaron::search
