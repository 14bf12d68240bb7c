#pragma once

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

// A fresh window, event log and prompter for every test function: Open()
// from init(), Close() from cleanup().
class WindowFixture {
protected:
    void Open();
    void Close();

    std::unique_ptr<ScopedEventLog> m_log;
    CScriptedPrompter m_prompter;
    std::unique_ptr<CKOVDlg> m_window;
};

// A stored configuration row of twelve fields.
[[nodiscard]] std::string ConfigurationLine(int id, const std::string& segment, const std::string& receiveIp,
                                            int receivePort, const std::string& sendIp, int sendPort,
                                            const std::string& nmkt = "N");

// The segment names the store offers by default.
void AddDefaultSegments(CKOVDlg& window);

[[nodiscard]] QTableWidget& ListOf(CKOVDlg& window);
[[nodiscard]] QPushButton& ButtonOf(CKOVDlg& window, int id);
[[nodiscard]] QString ItemText(CKOVDlg& window, int row, int column);
// Selects a row with a mouse click in the list.
void ClickRow(CKOVDlg& window, int row);
