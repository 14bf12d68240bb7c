#include "tools/MetricsServer.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "log/EventLog.h"
#include "tools/CommandLine.h"

namespace {

// Slow or idle clients cannot starve a scraper: each address holds at most
// 16 of the 64 connections, and one that sends nothing for 3 s is closed.
constexpr unsigned kConnectionLimit = 64;
constexpr unsigned kConnectionsPerAddress = 16;
constexpr unsigned kConnectionTimeoutSeconds = 3;
constexpr int kListenBacklog = 64;

constexpr const char* kExpositionType = "text/plain; version=0.0.4; charset=utf-8";

MHD_Result Reply(MHD_Connection* connection, unsigned status, const char* text)
{
    MHD_Response* response =
        MHD_create_response_from_buffer(std::strlen(text), const_cast<char*>(text), MHD_RESPMEM_PERSISTENT);
    if (!response)
        return MHD_NO;
    if (status == MHD_HTTP_METHOD_NOT_ALLOWED)
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    const MHD_Result queued = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued;
}

// The scrape, on libmicrohttpd's thread: the text is shared with the
// response (no copy) and released when the response is sent.
MHD_Result ReplyMetrics(MHD_Connection* connection, const CMetricsServer& server)
{
    auto* held = new std::shared_ptr<const std::string>(server.Current());
    MHD_Response* response = MHD_create_response_from_buffer_with_free_callback_cls(
        (*held)->size(), const_cast<char*>((*held)->data()),
        [](void* text) { delete static_cast<std::shared_ptr<const std::string>*>(text); }, held);
    if (!response) {
        delete held;
        return MHD_NO;
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, kExpositionType);
    const MHD_Result queued = MHD_queue_response(connection, MHD_HTTP_OK, response);
    MHD_destroy_response(response);
    return queued;
}

MHD_Result Answer(void* server, MHD_Connection* connection, const char* url, const char* method,
                  const char* /*version*/, const char* /*upload*/, size_t* /*uploadSize*/, void** request)
{
    // Anything else is answered at once, and its connection closed.
    if (std::strcmp(url, "/metrics") != 0)
        return Reply(connection, MHD_HTTP_NOT_FOUND, "Not found: the counters are at /metrics\n");
    // HEAD is GET without the body, which libmicrohttpd leaves out itself.
    if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 && std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0)
        return Reply(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "Only GET is served here\n");
    // A scrape is answered at the second call, once the whole request is in:
    // only then does the connection stay open for the next scrape.
    static int headersIn;
    if (*request != &headersIn) {
        *request = &headersIn;
        return MHD_YES;
    }
    return ReplyMetrics(connection, *static_cast<const CMetricsServer*>(server));
}

std::string AddressText(const sockaddr_in& address)
{
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return FormatText("%s:%d", text, ntohs(address.sin_port));
}

// A listening socket on the address; -1 with the reason in `problem`.
int Listen(const sockaddr_in& address, std::string& problem)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        problem = FormatText("metrics socket: %s", std::strerror(errno));
        return -1;
    }
    // A restarted service takes its port back at once, past old connections in TIME_WAIT.
    const int on = 1;
    const char* step = "setsockopt(SO_REUSEADDR)";
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0) {
        step = "bind";
        if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
            step = "listen";
            if (listen(fd, kListenBacklog) == 0)
                return fd;
        }
    }
    problem = FormatText("metrics on %s: %s: %s", AddressText(address).c_str(), step, std::strerror(errno));
    close(fd);
    return -1;
}

}  // namespace

bool ParseMetricsAddress(std::string_view text, sockaddr_in& address)
{
    std::string host = "127.0.0.1";
    std::string_view portText = text;
    if (const size_t colon = text.rfind(':'); colon != std::string_view::npos) {
        host = std::string(text.substr(0, colon));
        portText = text.substr(colon + 1);
    }
    long long port = 0;
    address = sockaddr_in{};
    address.sin_family = AF_INET;
    if (!ParseWholeNumber(portText, 1, 65535, port) || inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1)
        return false;
    address.sin_port = htons(static_cast<uint16_t>(port));
    return true;
}

CMetricsServer::CMetricsServer(PROCESS_METRICS process)
    : m_process(std::move(process)), m_text(std::make_shared<const std::string>(MetricsText({}, m_process)))
{
}

CMetricsServer::~CMetricsServer()
{
    Stop();
}

bool CMetricsServer::Start(const sockaddr_in& address, std::string& problem)
{
    Stop();
    const int fd = Listen(address, problem);
    if (fd < 0)
        return false;
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
        problem = FormatText("metrics socket: getsockname: %s", std::strerror(errno));
        close(fd);
        return false;
    }
    errno = 0;
    m_daemon = MHD_start_daemon(MHD_USE_AUTO_INTERNAL_THREAD, 0, nullptr, nullptr, &Answer, this,
                                MHD_OPTION_LISTEN_SOCKET, fd, MHD_OPTION_CONNECTION_LIMIT, kConnectionLimit,
                                MHD_OPTION_PER_IP_CONNECTION_LIMIT, kConnectionsPerAddress,
                                MHD_OPTION_CONNECTION_TIMEOUT, kConnectionTimeoutSeconds, MHD_OPTION_END);
    if (!m_daemon) {
        problem = FormatText("metrics on %s: the HTTP server did not start: %s", AddressText(address).c_str(),
                             errno ? std::strerror(errno) : "no reason given");
        close(fd);
        return false;
    }
    m_port = ntohs(bound.sin_port);
    return true;
}

void CMetricsServer::Stop()
{
    // Ends the server's thread and closes the listening socket with it.
    if (m_daemon)
        MHD_stop_daemon(m_daemon);
    m_daemon = nullptr;
    m_port = 0;
}

void CMetricsServer::Publish(const std::vector<RELAY_METRICS>& relays)
{
    // Made outside the lock: a scrape waits only for the pointer's swap.
    auto text = std::make_shared<const std::string>(MetricsText(relays, m_process));
    std::lock_guard lock(m_textMutex);
    m_text = std::move(text);
}

std::shared_ptr<const std::string> CMetricsServer::Current() const
{
    std::lock_guard lock(m_textMutex);
    return m_text;
}
