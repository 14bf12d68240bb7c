#include "console/MessageBoxPrompter.h"

#include <QApplication>
#include <QMessageBox>

namespace {

constexpr const char* kBoxTitle = "ORMA UDP Broadcast Server";

}  // namespace

void CMessageBoxPrompter::ShowMessage(const std::string& text)
{
    QMessageBox::warning(QApplication::activeWindow(), kBoxTitle, QString::fromStdString(text));
}

bool CMessageBoxPrompter::AskYesNo(const std::string& text)
{
    return QMessageBox::question(QApplication::activeWindow(), kBoxTitle, QString::fromStdString(text),
                                 QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
}
