#pragma once

#include <netinet/in.h>

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "tools/MetricsText.h"

struct MHD_Daemon;

// Where the metrics are served: "PORT" (on 127.0.0.1) or "ADDRESS:PORT",
// IPv4 only. False for anything else, port 0 included.
[[nodiscard]] bool ParseMetricsAddress(std::string_view text, sockaddr_in& address);

// Serves GET /metrics over HTTP from one thread of libmicrohttpd's, with
// bounded connections (64, 16 per client address, 3 s idle). The owner
// publishes snapshots; a scrape copies the latest text under a mutex that
// only Publish and the scrape take, so a scrape never holds up a relay thread.
class CMetricsServer {
public:
    explicit CMetricsServer(PROCESS_METRICS process);
    ~CMetricsServer();
    CMetricsServer(const CMetricsServer&) = delete;
    CMetricsServer& operator=(const CMetricsServer&) = delete;

    // Listens on the address and serves until Stop. False, with the
    // system's reason in `problem`, when the address cannot be taken.
    bool Start(const sockaddr_in& address, std::string& problem);
    void Stop();
    // The port listened on (the one chosen when Start was given port 0); 0 when stopped.
    [[nodiscard]] int Port() const noexcept { return m_port; }

    // What the next scrapes show, until the next Publish.
    void Publish(const std::vector<RELAY_METRICS>& relays);
    // The text a scrape serves now.
    [[nodiscard]] std::shared_ptr<const std::string> Current() const;

private:
    PROCESS_METRICS m_process;
    MHD_Daemon* m_daemon = nullptr;
    int m_port = 0;
    mutable std::mutex m_textMutex;  // taken by Publish and the scrape only
    std::shared_ptr<const std::string> m_text;
};
