#include "form2.h"

#include "contact.h"
#include "formlayout.h"
#include "windowrole.h"

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QStyle>

Form2::Form2(QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("Form2"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("\u5173\u4e8e"));
    setAccessibleWindowRole(this, QAccessible::Dialog);
    setWindowIcon(QApplication::windowIcon());
    setFixedSize(312, 226);

    const auto frame = [this](const QString &name, const QString &caption, const QRect &geometry) {
        auto *f = new QGroupBox(caption, this);
        f->setObjectName(name);
        f->setGeometry(geometry);
        f->setFont(arial(9));
        return f;
    };
    const auto label = [](QWidget *parent, const QString &name, const char *text, const QRect &geometry,
                          const QFont &font) {
        auto *l = new QLabel(QString::fromUtf8(text), parent);
        l->setObjectName(name);
        l->setGeometry(geometry);
        l->setFont(font);
        useHighlightColour(l);
        // The name and the contact lines can be selected and copied with
        // the mouse; only the button takes the focus all the same.
        l->setTextInteractionFlags(Qt::TextSelectableByMouse);
        l->setFocusPolicy(Qt::NoFocus);
        return l;
    };

    // Created in tab order; only the button takes the focus.
    QGroupBox *frame1 = frame(QStringLiteral("Frame1"), QStringLiteral("Author"), twips(720, 480, 3495, 735));
    label(frame1, QStringLiteral("Label1"), Contact::kAuthor, twips(240, 360, 1575, 255), arial(10.5, true));
    QGroupBox *frame2 =
        frame(QStringLiteral("Frame2"), QStringLiteral("Contact"), twips(720, 1440, 3495, 1215));
    label(frame2, QStringLiteral("Label2"), Contact::kMail, twips(240, 360, 3135, 255), arial(10.5));
    label(frame2, QStringLiteral("Label3"), Contact::kMessenger, twips(240, 720, 2295, 375), arial(10.5));

    auto *command1 = new QPushButton(QStringLiteral("OK"), this);
    command1->setObjectName(QStringLiteral("Command1"));
    command1->setGeometry(twips(1680, 2760, 1215, 495));
    command1->setFont(arial(9));
    // Neither Enter nor Escape stands for the button.
    command1->setAutoDefault(false);
    command1->setDefault(false);
    command1->setFocus(Qt::OtherFocusReason);
    connect(command1, &QPushButton::clicked, this, &Form2::Command1_Click);

    // setGeometry places the client area, so it is the client area that ends
    // up centred, whatever frame the window manager adds.
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size(), screen));
}

Form2::~Form2() = default;

void Form2::Command1_Click()
{
    close();
}
