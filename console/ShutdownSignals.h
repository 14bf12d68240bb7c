#pragma once

#include <QObject>

#include <array>
#include <csignal>

class QSocketNotifier;

// Turns the signals that would otherwise end the console without a word
// into a Qt signal on the GUI thread, so that they end it in order: SIGTERM
// and SIGINT, with which sessions and service managers end a program, and
// kShutdownSignals. The handler only writes a byte to a pipe
// (async-signal-safe); a socket notifier on the pipe's read end emits
// Received. kIgnoredSignals are ignored. One instance at a time.
class CShutdownSignals : public QObject {
    Q_OBJECT
public:
    // Taken over where they still have their default action: a handler or
    // an ignore set by whoever started the program (nohup, a profiler) stays.
    static constexpr std::array kShutdownSignals = {SIGHUP,  SIGUSR1, SIGUSR2, SIGALRM,   SIGVTALRM,
                                                    SIGPROF, SIGIO,   SIGPWR,  SIGSTKFLT, SIGXCPU};
    // A write to a closed socket or pipe, or past the file size limit, fails
    // with an error the writer reports instead.
    static constexpr std::array kIgnoredSignals = {SIGPIPE, SIGXFSZ};

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

    static constexpr size_t kTaken = 2 + kShutdownSignals.size() + kIgnoredSignals.size();

    int m_pipe[2] = {-1, -1};
    bool m_installed = false;
    QSocketNotifier* m_notifier = nullptr;
    // The signals this object changed, with what they had before.
    std::array<int, kTaken> m_signals{};
    std::array<struct sigaction, kTaken> m_previous{};
    size_t m_taken = 0;
};
