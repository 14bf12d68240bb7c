#pragma once

#include "log/EventLog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

// Gives every test an empty settings store and event log folder of its
// own in a fresh temporary folder, removed afterwards.
class TempSettingsStore : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/orma-store-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_root = pattern;
        setenv("XDG_CONFIG_HOME", (m_root / "config").c_str(), 1);
        g_pEventLog = CEventLog::GetInstance();
        g_pEventLog->SetLogDirectory(m_root.string());
    }

    void TearDown() override
    {
        g_pEventLog = nullptr;
        unsetenv("XDG_CONFIG_HOME");
        std::filesystem::remove_all(m_root);
    }

    // The folder of a "\"-separated key path.
    [[nodiscard]] std::filesystem::path KeyFolder(std::string keyPath) const
    {
        std::replace(keyPath.begin(), keyPath.end(), '\\', '/');
        return m_root / "config/orma-broadcast-server" / keyPath;
    }

    [[nodiscard]] static std::string FileText(const std::filesystem::path& path)
    {
        std::ostringstream text;
        text << std::ifstream(path, std::ios::binary).rdbuf();
        return text.str();
    }

    [[nodiscard]] std::string EventLogText() const { return FileText(m_root / g_pEventLog->GetLogFileName()); }

    std::filesystem::path m_root;
};
