#pragma once

#include <QObject>

#include <string>

class QLocalServer;

// How a second start reaches the instance that runs on the same settings
// store: a local socket in the store's folder, which only the user can
// enter. The store's lock alone decides which instance runs; the channel
// only carries the request to bring the window to the front, so that a
// window hidden with no tray left to open it from can still be found.
class CInstanceChannel : public QObject {
    Q_OBJECT
public:
    static constexpr const char* kSocketName = "console.socket";
    static constexpr const char* kShowRequest = "show\n";

    // Asks the instance listening in this store folder to show its window;
    // false when none took the request.
    static bool AskToShow(const std::string& storeDirectory);

    // Listens in the store folder, replacing a socket a dead instance left
    // there: call only while holding the store's lock. False, said on
    // stderr, when it cannot.
    bool Listen(const std::string& storeDirectory);

signals:
    void ShowRequested();

private:
    void OnConnection();

    QLocalServer* m_server = nullptr;
};
