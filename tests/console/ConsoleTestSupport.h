#pragma once

#include "config/ValuesFile.h"
#include "console/KOVDlg.h"
#include "console/Prompter.h"

#include <QString>
#include <QTemporaryDir>

#include <deque>
#include <memory>
#include <string>
#include <vector>

class QPushButton;
class QTableWidget;

// Answers the window's message boxes at once: records every text and
// answers questions from a script (No when the script is used up).
class CScriptedPrompter final : public CPrompter {
public:
    void ShowMessage(const std::string& text) override { Messages.push_back(text); }
    [[nodiscard]] bool AskYesNo(const std::string& text) override;

    std::vector<std::string> Messages;
    std::deque<bool> Answers;
};

// An event log of its own for one test, in a directory removed afterwards.
class ScopedEventLog {
public:
    ScopedEventLog();
    ~ScopedEventLog();
    [[nodiscard]] std::string Directory() const { return m_directory.path().toStdString(); }
    // Everything logged so far.
    [[nodiscard]] std::string Text() const;
    // The number of lines that contain `part`.
    [[nodiscard]] int CountLines(const std::string& part) const;

private:
    QTemporaryDir m_directory;
    std::string m_previousDirectory;
};

// A settings store of its own ($XDG_CONFIG_HOME) for one test, removed afterwards.
class ScopedSettingsStore {
public:
    ScopedSettingsStore();
    ~ScopedSettingsStore();
    [[nodiscard]] QString Directory() const { return m_directory.path(); }

    // Replaces what a key holds ("PLUX Details", ...), creating it.
    static void Store(const char* key, const std::vector<StoredValue>& values);
    // A value's text; empty when it or its key is missing.
    [[nodiscard]] static std::string Read(const char* key, const char* name);
    // Stores configuration rows with the test network's local addresses.
    static void StoreConfigurations(const std::vector<std::string>& rows, const std::string& autoStart);
    // The stored rows "0" to "Record Count" - 1.
    [[nodiscard]] static std::vector<std::string> StoredRows();

private:
    QTemporaryDir m_directory;
    QByteArray m_previous;
};

// A fresh settings store, event log and prompter for every test function,
// and a window opened on them: Open() from init(), Close() from cleanup().
// OpenStore() and OpenWindow() do Open()'s two halves, for a test that
// fills the store first or opens a second window on the same store.
class WindowFixture {
protected:
    void Open();
    void OpenStore();
    void OpenWindow();
    void CloseWindow() { m_window.reset(); }
    void Close();

    std::unique_ptr<ScopedSettingsStore> m_store;
    std::unique_ptr<ScopedEventLog> m_log;
    CScriptedPrompter m_prompter;
    std::unique_ptr<CKOVDlg> m_window;
};

// A stored configuration row of twelve fields.
[[nodiscard]] std::string ConfigurationLine(int id, const std::string& segment, const std::string& receiveIp,
                                            int receivePort, const std::string& sendIp, int sendPort,
                                            const std::string& nmkt = "N");

[[nodiscard]] QTableWidget& ListOf(CKOVDlg& window);
[[nodiscard]] QPushButton& ButtonOf(CKOVDlg& window, int id);
[[nodiscard]] QString ItemText(CKOVDlg& window, int row, int column);
// What an address box, an edit or a drop-down list shows.
[[nodiscard]] QString ControlText(CKOVDlg& window, int id);
// The Config IDs of the running broadcasts in list order, each followed by ",".
[[nodiscard]] QString RunningIds(CKOVDlg& window);
// Selects a row with a mouse click in the list.
void ClickRow(CKOVDlg& window, int row);

class QProcess;
// A program the test starts dies with the test, even when a time limit kills the test.
void EndWithTest(QProcess& process);
