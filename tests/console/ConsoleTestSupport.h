#pragma once

// What the console tests share: the window opened on a settings store and
// event log of its own, a scripted prompter, and ways to its controls.
#include "config/PersistedSettings.h"
#include "console/ControlIds.h"
#include "console/KOVDlg.h"
#include "console/Prompter.h"
#include "engine/BroadcastEngine.h"
#include "log/EventLog.h"
#include "tests/support/TempSettingsStore.h"
#include "tests/support/TestNetwork.h"

#include <QPushButton>
#include <QTableWidget>
#include <QTest>

#include <deque>
#include <memory>

// Answers the window's message boxes at once: records every text and
// answers questions from a script (No when the script is used up).
class CScriptedPrompter final : public CPrompter {
public:
    void ShowMessage(const std::string& text) override { Messages.push_back(text); }
    [[nodiscard]] bool AskYesNo(const std::string& text) override;

    std::vector<std::string> Messages;
    std::deque<bool> Answers;
};

// A stored configuration row: receiving 239.1.1.<n>:10000+n, sending to 239.2.1.<n>:sendPort.
[[nodiscard]] std::string Row(int id, const char* segment, int n, int sendPort, const char* archive = "Y",
                              const char* nmkt = "N");
// Selects a row with a mouse click in the list.
void ClickRow(CKOVDlg& window, int row);

// A fresh settings store, event log and prompter for every test function,
// and a window opened on them: Open() from init(), Close() from cleanup().
// OpenStore() and OpenWindow() are Open()'s two halves, for a test that
// fills the store first.
class WindowFixture {
protected:
    void Open()
    {
        OpenStore();
        OpenWindow();
    }
    void OpenStore()
    {
        m_store = std::make_unique<TempSettingsStore>();
        m_prompter = CScriptedPrompter();
    }
    void OpenWindow();
    void Close()
    {
        m_window.reset();
        m_store.reset();
    }

    // The open window's controls.
    [[nodiscard]] QTableWidget& List() const;
    [[nodiscard]] QPushButton& Button(int id) const { return *static_cast<QPushButton*>(m_window->GetDlgItem(id)); }
    void Click(int id) const { QTest::mouseClick(&Button(id), Qt::LeftButton); }
    [[nodiscard]] QString Cell(int row, int column) const;
    // What an address box, an edit or a drop-down list shows.
    [[nodiscard]] QString Text(int id) const;
    // Types into an address box or an edit; chooses in a drop-down list as the operator does.
    void SetText(int id, const QString& text) const;

    std::unique_ptr<TempSettingsStore> m_store;
    CScriptedPrompter m_prompter;
    std::unique_ptr<CKOVDlg> m_window;
};
