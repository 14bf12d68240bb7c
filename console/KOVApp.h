#pragma once

class CLimitSingleInstance;
class CPrompter;

// The program's start-up: refuse a second instance, then run the main
// window modally until the operator exits. Needs a QApplication.
class CKOVApp {
public:
    CKOVApp(CLimitSingleInstance& guard, CPrompter& prompter) : m_guard(guard), m_prompter(prompter) {}

    // Always false: the process ends when it returns.
    bool InitInstance();

private:
    CLimitSingleInstance& m_guard;
    CPrompter& m_prompter;
};
