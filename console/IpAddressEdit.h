#pragma once

#include "console/Ipv4Octets.h"

#include <QFrame>
#include <QString>

#include <array>

class QLineEdit;

// An IPv4 address box of four octet fields, typed as one dotted text: a
// full octet moves on as a dot does, a dot right after that is the same
// move, Backspace at an octet's start goes back over the dot, and a pasted
// address fills the whole box. The address rule itself is AddressFromOctets.
class CIpAddressEdit : public QFrame {
    Q_OBJECT
public:
    explicit CIpAddressEdit(QWidget* parent = nullptr);

    // The address; "0.0.0.0" for an empty box. When the octets make no
    // address, their texts joined by dots, which is no address either.
    [[nodiscard]] QString text() const;
    [[nodiscard]] bool hasAcceptableInput() const;
    // Fills the octets from dotted text (OctetsFromText); an empty text clears the box.
    void setText(const QString& address);
    void clear();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    // How the focus came into an octet, for the key that follows.
    enum class Entry { Other, FullOctet, Dot };

    [[nodiscard]] OctetTexts Octets() const;
    bool OnOctetKey(int index, const QKeyEvent& key);
    void OnOctetEdited(int index);
    void FocusOctet(int index, bool atEnd, Entry entry = Entry::Other);
    // A text with a dot fills the box as an address; any other goes into the octet.
    void Paste(int index, const QString& pasted);
    void ShowContextMenu(int index, const QPoint& where);
    void UpdateBackground();

    std::array<QLineEdit*, 4> m_octets{};
    Entry m_entry = Entry::Other;
};
