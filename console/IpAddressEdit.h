#pragma once

#include <QFrame>
#include <QString>

#include <array>

class QLineEdit;

// An IPv4 address box of four octet fields. An empty box reads as "0.0.0.0";
// an octet left empty reads as 0 and one above 255 is cut to 255.
class CIpAddressEdit : public QFrame {
    Q_OBJECT
public:
    explicit CIpAddressEdit(QWidget* parent = nullptr);

    [[nodiscard]] QString text() const;
    // Fills the octets from dotted text; an empty text clears the box.
    void setText(const QString& address);
    void clear();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void OnOctetEdited(int index);
    void FocusOctet(int index, bool atEnd);
    void UpdateBackground();

    std::array<QLineEdit*, 4> m_octets{};
};
