#pragma once

#include "console/Prompter.h"

// Modal message boxes over the application's active window.
class CMessageBoxPrompter final : public CPrompter {
public:
    void ShowMessage(const std::string& text) override;
    [[nodiscard]] bool AskYesNo(const std::string& text) override;
};
