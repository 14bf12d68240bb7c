#include "console/IpAddressEdit.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpressionValidator>

#include <algorithm>

namespace {

constexpr int kOctetMaximum = 255;
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

QString CIpAddressEdit::text() const
{
    bool blank = true;
    QStringList parts;
    for (const QLineEdit* octet : m_octets) {
        blank = blank && octet->text().isEmpty();
        parts << QString::number(std::min(octet->text().toInt(), kOctetMaximum));
    }
    return blank ? QStringLiteral("0.0.0.0") : parts.join('.');
}

void CIpAddressEdit::setText(const QString& address)
{
    const QStringList parts = address.split('.');
    for (size_t i = 0; i < m_octets.size(); ++i) {
        const QString part =
            i < static_cast<size_t>(parts.size()) ? parts[static_cast<qsizetype>(i)].trimmed() : QString();
        bool number = false;
        const int value = part.toInt(&number);
        m_octets[i]->setText(number && value >= 0 ? QString::number(std::min(value, kOctetMaximum)) : QString());
    }
}

void CIpAddressEdit::clear()
{
    for (QLineEdit* octet : m_octets)
        octet->clear();
}

void CIpAddressEdit::OnOctetEdited(int index)
{
    QLineEdit* octet = m_octets[static_cast<size_t>(index)];
    if (octet->text().toInt() > kOctetMaximum)
        octet->setText(QString::number(kOctetMaximum));
    // A full octet moves on, as typing a dot does.
    if (octet->text().size() == kOctetDigits && octet->cursorPosition() == kOctetDigits && index < 3)
        FocusOctet(index + 1, false);
}

void CIpAddressEdit::FocusOctet(int index, bool atEnd)
{
    QLineEdit* octet = m_octets[static_cast<size_t>(index)];
    octet->setFocus();
    if (atEnd)
        octet->end(false);
    else
        octet->selectAll();
}

bool CIpAddressEdit::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::KeyPress)
        return QFrame::eventFilter(watched, event);
    const auto found = std::find(m_octets.begin(), m_octets.end(), watched);
    if (found == m_octets.end())
        return QFrame::eventFilter(watched, event);
    const int index = static_cast<int>(found - m_octets.begin());
    QLineEdit* octet = *found;
    const auto* key = static_cast<QKeyEvent*>(event);
    switch (key->key()) {
    case Qt::Key_Period:
        if (index < 3 && !octet->text().isEmpty())
            FocusOctet(index + 1, false);
        return true;
    case Qt::Key_Backspace:
        if (index > 0 && octet->cursorPosition() == 0 && !octet->hasSelectedText()) {
            FocusOctet(index - 1, true);
            return true;
        }
        break;
    case Qt::Key_Left:
        if (index > 0 && octet->cursorPosition() == 0) {
            FocusOctet(index - 1, true);
            return true;
        }
        break;
    case Qt::Key_Right:
        if (index < 3 && octet->cursorPosition() == octet->text().size()) {
            FocusOctet(index + 1, false);
            return true;
        }
        break;
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
