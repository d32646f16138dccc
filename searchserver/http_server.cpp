#include "searchserver/http_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/resource.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "searchserver/connection_owner.h"

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

// A form's body: "name=value&..." with each part unescaped as query arguments are.
std::multimap<std::string, std::string> formFields(std::string body) {
  std::multimap<std::string, std::string> fields;
  std::size_t start = 0;
  while (start <= body.size()) {
    std::size_t end = body.find('&', start);
    if (end == std::string::npos) end = body.size();
    std::string part = body.substr(start, end - start);
    start = end + 1;
    if (part.empty()) continue;
    const std::size_t equals = part.find('=');
    std::string name = part.substr(0, equals);
    std::string value = equals == std::string::npos ? std::string() : part.substr(equals + 1);
    name.resize(unescapeFormText(nullptr, nullptr, name.data()));
    value.resize(unescapeFormText(nullptr, nullptr, value.data()));
    fields.emplace(std::move(name), std::move(value));
  }
  return fields;
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

FileBody::~FileBody() {
  ::close(descriptor_);
}

std::string HttpRequest::param(const std::string& name) const {
  auto it = params.find(name);
  return it == params.end() ? std::string() : it->second;
}

std::string HttpRequest::field(const std::string& name) const {
  auto it = form.find(name);
  return it == form.end() ? std::string() : it->second;
}

std::string HttpRequest::header(const std::string& name) const {
  auto it = headers.find(lower(name));
  return it == headers.end() ? std::string() : it->second;
}

namespace {

// What a connection's socket context says about whose it is.
char ownersConnection, strangersConnection;
// What a request's context holds when it is answered at once (a heavy one holds its job).
char answeredAtOnce;

HttpResponse refusal() {
  return {
      403, "text/plain; charset=utf-8", "This search server answers only the person it belongs to.\n", {}};
}

MHD_Response* replyFor(const HttpResponse& response) {
  if (!response.file)
    return MHD_create_response_from_buffer(response.body.size(), const_cast<char*>(response.body.data()),
                                           MHD_RESPMEM_MUST_COPY);
  // The library closes the descriptor it is given when it is done with the response.
  const int descriptor = ::fcntl(response.file->descriptor(), F_DUPFD_CLOEXEC, 0);
  if (descriptor < 0) return nullptr;
  MHD_Response* reply = MHD_create_response_from_fd64(response.file->size(), descriptor);
  if (!reply) ::close(descriptor);
  return reply;
}

MHD_Result queue(MHD_Connection* connection, const HttpResponse& response) {
  MHD_Response* reply = replyFor(response);
  if (!reply) return MHD_NO;
  MHD_add_response_header(reply, MHD_HTTP_HEADER_CONTENT_TYPE, response.contentType.c_str());
  for (const auto& [name, value] : response.headers)
    MHD_add_response_header(reply, name.c_str(), value.c_str());
  const MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(response.status), reply);
  MHD_destroy_response(reply);
  return queued;
}

}  // namespace

struct HttpServer::Daemon {
  // A request that is not answered at once: a heavy one waiting for its worker, or a POST whose body is still
  // arriving.
  struct HeavyJob {
    HttpRequest request;
    HttpResponse response;
    MHD_Connection* connection = nullptr;
    bool receiving = false;
    bool bodyTooLarge = false;
    std::string body;
  };

  HttpHandler handler;
  HeavyRequest heavy;
  std::size_t heavyQueueLimit = 0;
  const uid_t owner = ::geteuid();
  MHD_Daemon* daemon = nullptr;

  std::mutex mutex;
  std::condition_variable wake;
  std::deque<HeavyJob*> waiting;
  bool stopping = false;
  std::vector<std::thread> workers;
  std::set<uid_t> strangersSeen;  // each other user is logged once

  HttpResponse respond(const HttpRequest& request) const {
    try {
      return handler(request);
    } catch (const std::exception& error) {
      return {503,
              "text/plain; charset=utf-8",
              std::string("Search is unavailable for a moment: ") + error.what() + "\n",
              {}};
    }
  }

  void work() {
    for (;;) {
      HeavyJob* job = nullptr;
      {
        std::unique_lock lock(mutex);
        wake.wait(lock, [&] { return stopping || !waiting.empty(); });
        if (waiting.empty()) return;
        job = waiting.front();
        waiting.pop_front();
        if (stopping)
          job->response = {503, "text/plain; charset=utf-8", "The search server is stopping.\n", {}};
      }
      if (job->response.body.empty()) job->response = respond(job->request);
      MHD_resume_connection(job->connection);
    }
  }

  // Whose the connection is, asked of the kernel once, when it is accepted.
  static void noticeConnection(void* self, MHD_Connection* connection, void** socketContext,
                               MHD_ConnectionNotificationCode code) {
    if (code != MHD_CONNECTION_NOTIFY_STARTED) return;
    auto* daemon = static_cast<Daemon*>(self);
    *socketContext = &strangersConnection;
    const auto* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (!info) return;
    sockaddr_storage peer{}, local{};
    socklen_t peerSize = sizeof peer, localSize = sizeof local;
    if (::getpeername(info->connect_fd, reinterpret_cast<sockaddr*>(&peer), &peerSize) != 0 ||
        ::getsockname(info->connect_fd, reinterpret_cast<sockaddr*>(&local), &localSize) != 0)
      return;
    const auto user = connectingUser(reinterpret_cast<sockaddr*>(&peer), reinterpret_cast<sockaddr*>(&local));
    if (user == daemon->owner) {
      *socketContext = &ownersConnection;
      return;
    }
    std::lock_guard lock(daemon->mutex);
    if (daemon->strangersSeen.insert(user.value_or(static_cast<uid_t>(-1))).second)
      std::fprintf(stderr, "server: refused a connection of %s: only user %u may search here\n",
                   user ? ("user " + std::to_string(*user)).c_str() : "an unknown user",
                   static_cast<unsigned>(daemon->owner));
  }

  static void requestDone(void*, MHD_Connection*, void** requestState, MHD_RequestTerminationCode) {
    if (*requestState && *requestState != &answeredAtOnce) delete static_cast<HeavyJob*>(*requestState);
    *requestState = nullptr;
  }

  static MHD_Result answer(void* self, MHD_Connection* connection, const char* url, const char* method,
                           const char*, const char* uploadData, std::size_t* uploadSize,
                           void** requestState) {
    auto* daemon = static_cast<Daemon*>(self);
    if (*requestState && *requestState != &answeredAtOnce) {
      auto* job = static_cast<HeavyJob*>(*requestState);
      if (job->receiving) {
        if (*uploadSize > 0) {
          // Kept only while it is small; the rest is read and dropped, so the refusal can be sent.
          if (job->body.size() + *uploadSize > maxFormBytes)
            job->bodyTooLarge = true;
          else
            job->body.append(uploadData, *uploadSize);
          *uploadSize = 0;
          return MHD_YES;
        }
        job->receiving = false;
        if (job->bodyTooLarge)
          return queue(connection,
                       {413, "text/plain; charset=utf-8", "The request's body is too large.\n", {}});
        job->request.form = formFields(std::move(job->body));
        return dispatch(daemon, connection, job->request, job, requestState);
      }
      // A heavy request comes back here once its worker has its answer.
      return queue(connection, job->response);
    }
    const auto* owner = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    if (!owner || owner->socket_context != &ownersConnection) {
      *requestState = &answeredAtOnce;
      *uploadSize = 0;
      return queue(connection, refusal());
    }
    HttpRequest request;
    request.method = method;
    request.path = url;
    MHD_get_connection_values_n(connection, MHD_GET_ARGUMENT_KIND, collectParam, &request);
    MHD_get_connection_values(connection, MHD_HEADER_KIND, collectHeader, &request);
    if (request.method == "POST") {
      // The body follows in later calls.
      *requestState = new HeavyJob{std::move(request), {}, connection, true, false, {}};
      return MHD_YES;
    }
    *requestState = &answeredAtOnce;
    *uploadSize = 0;  // a body (only POST has one here) is refused, not read
    return dispatch(daemon, connection, request, nullptr, requestState);
  }

  // Answers a request whose head (and body) is whole: at once, or on a worker when its work is heavy.
  // `job` holds the request already when its body had to be waited for.
  static MHD_Result dispatch(Daemon* daemon, MHD_Connection* connection, HttpRequest& request, HeavyJob* job,
                             void** requestState) {
    if (daemon->heavy && daemon->heavy(request)) {
      std::unique_lock lock(daemon->mutex);
      if (!daemon->stopping) {
        if (daemon->waiting.size() >= daemon->heavyQueueLimit) {
          lock.unlock();
          return queue(connection, {503,
                                    "text/plain; charset=utf-8",
                                    "The search server is busy; try again in a moment.\n",
                                    {{"Retry-After", "1"}}});
        }
        if (!job) {
          job = new HeavyJob{std::move(request), {}, connection, false, false, {}};
          *requestState = job;
        }
        MHD_suspend_connection(connection);
        daemon->waiting.push_back(job);
        daemon->wake.notify_one();
        return MHD_YES;
      }
    }
    return queue(connection, daemon->respond(request));
  }
};

HttpServer::HttpServer(std::uint16_t port, HttpHandler handler, HttpLimits limits, HeavyRequest heavy)
    : daemon_(std::make_unique<Daemon>()) {
  daemon_->handler = std::move(handler);
  daemon_->heavy = std::move(heavy);
  daemon_->heavyQueueLimit = limits.heavyQueue;
  raiseDescriptorLimit(limits.connections + 256);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  daemon_->daemon = MHD_start_daemon(
      MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME, port, nullptr, nullptr, &Daemon::answer,
      daemon_.get(), MHD_OPTION_SOCK_ADDR, &address, MHD_OPTION_THREAD_POOL_SIZE, limits.threads,
      MHD_OPTION_CONNECTION_LIMIT, limits.connections, MHD_OPTION_CONNECTION_TIMEOUT, limits.idleSeconds,
      MHD_OPTION_LISTEN_BACKLOG_SIZE, limits.listenBacklog, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
      limits.requestHeadBytes,
      // The library's default reuse (SO_REUSEADDR) lets a restarted server have its port back while a killed
      // one's connections linger; asking for more would add SO_REUSEPORT, and two servers could share the
      // port.
      MHD_OPTION_UNESCAPE_CALLBACK, &unescapeFormText, nullptr, MHD_OPTION_NOTIFY_CONNECTION,
      &Daemon::noticeConnection, daemon_.get(), MHD_OPTION_NOTIFY_COMPLETED, &Daemon::requestDone, nullptr,
      MHD_OPTION_END);
  if (!daemon_->daemon) throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port));
  for (unsigned i = 0; i < std::max(1u, limits.heavyWorkers); ++i)
    daemon_->workers.emplace_back([daemon = daemon_.get()] { daemon->work(); });
}

HttpServer::~HttpServer() {
  // Every suspended connection is resumed (answered 503 if its work had not begun) before the daemon stops.
  {
    std::lock_guard lock(daemon_->mutex);
    daemon_->stopping = true;
  }
  daemon_->wake.notify_all();
  for (auto& worker : daemon_->workers)
    worker.join();
  if (daemon_->daemon) MHD_stop_daemon(daemon_->daemon);
}

}  // namespace tessaron::search
