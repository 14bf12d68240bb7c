#pragma once

#include <string>

// Where the console's message boxes go: modal boxes in the program, a
// scripted answerer in tests. Called on the GUI thread only.
class CPrompter {
public:
    virtual ~CPrompter() = default;

    // A message with an OK button; returns once it was acknowledged.
    virtual void ShowMessage(const std::string& text) = 0;
    // A question with Yes and No buttons; true for Yes.
    [[nodiscard]] virtual bool AskYesNo(const std::string& text) = 0;
};
