#pragma once

#include <QObject>

#include <csignal>

class QSocketNotifier;

// Turns SIGTERM and SIGINT, with which sessions and service managers end a
// program, into a Qt signal on the GUI thread. The handler only writes a
// byte to a pipe (async-signal-safe); a socket notifier on the pipe's read
// end emits Received. One instance at a time.
class CShutdownSignals : public QObject {
    Q_OBJECT
public:
    // Installs the handlers. A signal that comes before Watch waits in the pipe.
    CShutdownSignals();
    // Puts the previous handlers back.
    ~CShutdownSignals() override;
    CShutdownSignals(const CShutdownSignals&) = delete;
    CShutdownSignals& operator=(const CShutdownSignals&) = delete;

    // False when the pipe or a handler could not be set up (said on stderr).
    [[nodiscard]] bool IsInstalled() const noexcept { return m_installed; }
    // Starts emitting Received, for signals already waiting too.
    void Watch();

signals:
    void Received(int signal);

private:
    void OnReadable();

    int m_pipe[2] = {-1, -1};
    bool m_installed = false;
    QSocketNotifier* m_notifier = nullptr;
    struct sigaction m_previousTerm {};
    struct sigaction m_previousInt {};
};
