#include "console/IpAddressEdit.h"

#include <QClipboard>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QRegularExpressionValidator>

#include <algorithm>
#include <memory>
#include <utility>

namespace {

constexpr int kOctetDigits = 3;

}  // namespace

CIpAddressEdit::CIpAddressEdit(QWidget* parent) : QFrame(parent)
{
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    setAutoFillBackground(true);
    setFocusPolicy(Qt::StrongFocus);

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(2, 1, 2, 1);
    layout->setSpacing(0);
    auto* digits = new QRegularExpressionValidator(QRegularExpression("[0-9]{0,3}"), this);
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            auto* dot = new QLabel(".", this);
            dot->setAlignment(Qt::AlignCenter);
            layout->addWidget(dot);
        }
        auto* octet = new QLineEdit(this);
        octet->setFrame(false);
        octet->setAlignment(Qt::AlignCenter);
        octet->setMaxLength(kOctetDigits);
        octet->setValidator(digits);
        octet->installEventFilter(this);
        // Tab moves past the whole address; the octets are reached by typing or clicking.
        if (i > 0)
            octet->setFocusPolicy(Qt::ClickFocus);
        connect(octet, &QLineEdit::textEdited, this, [this, i] { OnOctetEdited(i); });
        layout->addWidget(octet, 1);
        m_octets[static_cast<size_t>(i)] = octet;
    }
    setFocusProxy(m_octets[0]);
    UpdateBackground();
}

OctetTexts CIpAddressEdit::Octets() const
{
    OctetTexts octets;
    for (size_t i = 0; i < m_octets.size(); ++i) octets[i] = m_octets[i]->text().toStdString();
    return octets;
}

QString CIpAddressEdit::text() const
{
    const OctetTexts octets = Octets();
    const std::string address = AddressFromOctets(octets);
    if (!address.empty())
        return QString::fromStdString(address);
    QStringList typed;
    for (const std::string& octet : octets) typed << QString::fromStdString(octet);
    return typed.join('.');
}

bool CIpAddressEdit::hasAcceptableInput() const
{
    return !AddressFromOctets(Octets()).empty();
}

void CIpAddressEdit::setText(const QString& address)
{
    const OctetTexts octets = OctetsFromText(address.toStdString());
    for (size_t i = 0; i < m_octets.size(); ++i) m_octets[i]->setText(QString::fromStdString(octets[i]));
}

void CIpAddressEdit::clear()
{
    for (QLineEdit* octet : m_octets) octet->clear();
}

void CIpAddressEdit::OnOctetEdited(int index)
{
    // A full octet moves on, as typing a dot does.
    const QLineEdit* octet = m_octets[static_cast<size_t>(index)];
    if (octet->text().size() == kOctetDigits && octet->cursorPosition() == kOctetDigits && index < 3)
        FocusOctet(index + 1, false, Entry::FullOctet);
}

void CIpAddressEdit::FocusOctet(int index, bool atEnd, Entry entry)
{
    QLineEdit* octet = m_octets[static_cast<size_t>(index)];
    octet->setFocus();
    // Selected, what was there before is replaced by what is typed next.
    if (atEnd)
        octet->end(false);
    else
        octet->selectAll();
    m_entry = entry;
}

void CIpAddressEdit::Paste(int index, const QString& pasted)
{
    const QString text = pasted.trimmed();
    if (!text.contains('.')) {
        m_octets[static_cast<size_t>(index)]->insert(text);  // the octet's validator decides
        return;
    }
    // Anything but digits and dots is no address: refused whole, as an octet refuses it.
    if (std::any_of(text.begin(), text.end(), [](QChar c) { return !c.isDigit() && c != '.'; }))
        return;
    setText(text);
    FocusOctet(3, true);
}

void CIpAddressEdit::ShowContextMenu(int index, const QPoint& where)
{
    // The octet's own menu, but its Paste takes whole addresses too.
    const std::unique_ptr<QMenu> menu(m_octets[static_cast<size_t>(index)]->createStandardContextMenu());
    if (QAction* paste = menu->findChild<QAction*>("edit-paste")) {
        disconnect(paste, &QAction::triggered, nullptr, nullptr);
        connect(paste, &QAction::triggered, this,
                [this, index] { Paste(index, QGuiApplication::clipboard()->text()); });
    }
    menu->exec(where);
}

bool CIpAddressEdit::OnOctetKey(int index, const QKeyEvent& key)
{
    QLineEdit* octet = m_octets[static_cast<size_t>(index)];
    if (key.matches(QKeySequence::Paste)) {
        Paste(index, QGuiApplication::clipboard()->text());
        return true;
    }
    const Entry entry = std::exchange(m_entry, Entry::Other);
    switch (key.key()) {
    case Qt::Key_Period:
        // The octet was ended by its third digit; this dot only says so again.
        if (entry == Entry::FullOctet)
            m_entry = Entry::Dot;
        else if (index < 3 && !octet->text().isEmpty())
            FocusOctet(index + 1, false, Entry::Dot);
        return true;
    case Qt::Key_Backspace:
        if (index == 0)
            return false;
        if (entry == Entry::FullOctet) {
            // The dot was never typed: the digit before it goes.
            FocusOctet(index - 1, true);
            m_octets[static_cast<size_t>(index - 1)]->backspace();
            return true;
        }
        if (entry == Entry::Dot || (octet->cursorPosition() == 0 && !octet->hasSelectedText())) {
            FocusOctet(index - 1, true);
            return true;
        }
        return false;
    case Qt::Key_Left:
        if (index > 0 && octet->cursorPosition() == 0) {
            FocusOctet(index - 1, true);
            return true;
        }
        return false;
    case Qt::Key_Right:
        if (index < 3 && octet->cursorPosition() == octet->text().size()) {
            FocusOctet(index + 1, false);
            return true;
        }
        return false;
    case Qt::Key_Shift:
    case Qt::Key_Control:
    case Qt::Key_Alt:
    case Qt::Key_Meta:
        m_entry = entry;  // not a key of the text
        return false;
    default:
        return false;
    }
}

bool CIpAddressEdit::eventFilter(QObject* watched, QEvent* event)
{
    const auto found = std::find(m_octets.begin(), m_octets.end(), watched);
    if (found == m_octets.end())
        return QFrame::eventFilter(watched, event);
    const int index = static_cast<int>(found - m_octets.begin());
    switch (event->type()) {
    case QEvent::KeyPress:
        return OnOctetKey(index, *static_cast<QKeyEvent*>(event)) || QFrame::eventFilter(watched, event);
    case QEvent::FocusIn:
    case QEvent::MouseButtonPress:
        m_entry = Entry::Other;
        break;
    case QEvent::MouseButtonRelease:
        // The X11 selection, pasted with the middle button.
        if (static_cast<QMouseEvent*>(event)->button() == Qt::MiddleButton &&
            QGuiApplication::clipboard()->supportsSelection()) {
            Paste(index, QGuiApplication::clipboard()->text(QClipboard::Selection));
            return true;
        }
        break;
    case QEvent::ContextMenu:
        ShowContextMenu(index, static_cast<QContextMenuEvent*>(event)->globalPos());
        return true;
    default:
        break;
    }
    return QFrame::eventFilter(watched, event);
}

void CIpAddressEdit::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::EnabledChange)
        UpdateBackground();
    QFrame::changeEvent(event);
}

void CIpAddressEdit::UpdateBackground()
{
    // Looks like one edit box: the octets' background, greyed when disabled.
    QPalette colours = palette();
    colours.setColor(QPalette::Window,
                     colours.color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::Base));
    setPalette(colours);
}
