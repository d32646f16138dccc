#include "searchserver/http_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace tessaron::search {

namespace {

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

MHD_Result collectParam(void* target, MHD_ValueKind, const char* key, std::size_t keySize, const char* value,
                        std::size_t valueSize) {
  static_cast<HttpRequest*>(target)->params.emplace(std::string(key, keySize),
                                                    value ? std::string(value, valueSize) : std::string());
  return MHD_YES;
}

MHD_Result collectHeader(void* target, MHD_ValueKind, const char* key, const char* value) {
  static_cast<HttpRequest*>(target)->headers.emplace(lower(key), value ? value : "");
  return MHD_YES;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Query arguments as forms send them: "+" is a space and "%HH" a byte; a "%" not followed by two hex digits
// is kept as it is. (Our paths hold no "+".)
std::size_t unescapeFormText(void*, MHD_Connection*, char* text) {
  char* out = text;
  for (const char* in = text; *in; ++in) {
    if (*in == '+') {
      *out++ = ' ';
    } else if (*in == '%' && hexValue(in[1]) >= 0 && hexValue(in[2]) >= 0) {
      *out++ = static_cast<char>(hexValue(in[1]) * 16 + hexValue(in[2]));
      in += 2;
    } else {
      *out++ = *in;
    }
  }
  *out = '\0';
  return static_cast<std::size_t>(out - text);
}

// Every open connection is a file descriptor: let the process have as many as the cap needs.
void raiseDescriptorLimit(unsigned wanted) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  const rlim_t target = std::min<rlim_t>(limit.rlim_max, wanted);
  if (limit.rlim_cur < target) {
    limit.rlim_cur = target;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace

std::string HttpRequest::param(const std::string& name) const {
  auto it = params.find(name);
  return it == params.end() ? std::string() : it->second;
}

std::string HttpRequest::header(const std::string& name) const {
  auto it = headers.find(lower(name));
  return it == headers.end() ? std::string() : it->second;
}

struct HttpServer::Daemon {
  HttpHandler handler;
  MHD_Daemon* daemon = nullptr;

  static MHD_Result answer(void* self, MHD_Connection* connection, const char* url, const char* method,
                           const char*, const char*, std::size_t* uploadSize, void** requestState) {
    // The first call comes with the head; a body (only other methods have one) is refused, not read.
    if (*requestState == nullptr) *requestState = connection;
    HttpRequest request;
    request.method = method;
    request.path = url;
    MHD_get_connection_values_n(connection, MHD_GET_ARGUMENT_KIND, collectParam, &request);
    MHD_get_connection_values(connection, MHD_HEADER_KIND, collectHeader, &request);
    HttpResponse response;
    try {
      response = static_cast<Daemon*>(self)->handler(request);
    } catch (const std::exception& error) {
      response = {503, "text/plain; charset=utf-8",
                  std::string("Search is unavailable for a moment: ") + error.what() + "\n"};
    }
    *uploadSize = 0;
    MHD_Response* reply =
        MHD_create_response_from_buffer(response.body.size(), response.body.data(), MHD_RESPMEM_MUST_COPY);
    if (!reply) return MHD_NO;
    MHD_add_response_header(reply, MHD_HTTP_HEADER_CONTENT_TYPE, response.contentType.c_str());
    for (const auto& [name, value] : response.headers)
      MHD_add_response_header(reply, name.c_str(), value.c_str());
    const MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(response.status), reply);
    MHD_destroy_response(reply);
    return queued;
  }
};

HttpServer::HttpServer(std::uint16_t port, HttpHandler handler, HttpLimits limits)
    : daemon_(std::make_unique<Daemon>()) {
  daemon_->handler = std::move(handler);
  raiseDescriptorLimit(limits.connections + 256);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  daemon_->daemon =
      MHD_start_daemon(MHD_USE_EPOLL_INTERNAL_THREAD, port, nullptr, nullptr, &Daemon::answer, daemon_.get(),
                       MHD_OPTION_SOCK_ADDR, &address, MHD_OPTION_THREAD_POOL_SIZE, limits.threads,
                       MHD_OPTION_CONNECTION_LIMIT, limits.connections, MHD_OPTION_CONNECTION_TIMEOUT,
                       limits.idleSeconds, MHD_OPTION_LISTEN_BACKLOG_SIZE, limits.listenBacklog,
                       MHD_OPTION_CONNECTION_MEMORY_LIMIT, limits.requestHeadBytes,
                       // The library's default reuse (SO_REUSEADDR) lets a restarted server have its port
                       // back while a killed one's connections linger; asking for more would add
                       // SO_REUSEPORT, and two servers could share the port.
                       MHD_OPTION_UNESCAPE_CALLBACK, &unescapeFormText, nullptr, MHD_OPTION_END);
  if (!daemon_->daemon) throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port));
}

HttpServer::~HttpServer() {
  if (daemon_->daemon) MHD_stop_daemon(daemon_->daemon);
}

}  // namespace tessaron::search
