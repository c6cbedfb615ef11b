#include "form1.h"

#include "boxtext.h"
#include "captionradiobutton.h"
#include "configfiles.h"
#include "form2.h"
#include "formlayout.h"
#include "lastsettings.h"
#include "localaddress.h"
#include "motdcodec.h"
#include "platformfiles.h"
#include "programicon.h"
#include "statuslabel.h"
#include "textlines.h"
#include "trayicon.h"
#include "traywndproc.h"
#include "windowrole.h"

#include <QButtonGroup>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTextDocument>
#include <QTimer>

#include <algorithm>
#include <utility>
#include <vector>

namespace {

// The last-settings file that start-up looks for and Start writes, by a name
// relative to the working folder: its absolute name may not be text.
QString lastSettingsPath()
{
    return kLastSettingsFileName;
}

const QString kTrayToolTip = QStringLiteral("OrbelithServGUI");

constexpr int kStatusLeft = 480, kStatusTop = 6360, kStatusWidth = 3495, kStatusHeight = 255;
// Room below the status line, left of the buttons, for a message that wraps.
constexpr int kStatusMaxHeightPx = 80;

// The message box's text as typed. toPlainText() would turn no-break spaces
// into blanks and U+2028 into line breaks; only the document's own paragraph
// separators, one between each two lines, are line breaks.
QString messageBoxText(const QPlainTextEdit &box)
{
    QString text = box.document()->toRawText();
    text.replace(QChar::ParagraphSeparator, u'\n');
    return text;
}

// Form_Load's search for a running server waits at most this long for the
// first paint.
constexpr int kLongestWaitForFirstPaintMs = 1000;

} // namespace

Form1::Form1(std::unique_ptr<ServerControl> control, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      m_session(std::make_unique<ServerSession>(control ? std::move(control) : createPlatformServerControl()))
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("OrbelithServer GUI"));
    QFont windowFont(QStringLiteral("SimSun"));
    windowFont.setPointSizeF(10.5);
    setFont(windowFont);
    resize(646, 510);
    setTabOrderByIndex(createControls());
    // The starting values, from the one place that holds them.
    applySettings(ServerSettings{});
    showState(m_session->state());
    m_text1[0]->setFocus(Qt::OtherFocusReason);
    connect(m_session.get(), &ServerSession::stateChanged, this, &Form1::showState);
    connect(m_session.get(), &ServerSession::statusChanged, this, [this](const QString &text) {
        // The first search's answer keeps what the restore had to say.
        if (m_session->state() == ServerSession::State::Searching && !m_loadNotice.isEmpty())
            showStatus(m_loadNotice + u'\n' + text);
        else
            showStatus(text);
    });
    connect(m_session.get(), &ServerSession::serverEndedByItself, this, &Form1::serverEndedByItself);

    m_trayIcon = new TrayIcon(this);
    m_trayWndProc = new TrayWndProc(this);
    connect(m_trayIcon, &TrayIcon::leftButtonPressed, this, &Form1::restoreFromTray);
    connect(m_trayIcon, &TrayIcon::trayLost, this, &Form1::leaveLostTray);
    connect(m_trayIcon, &TrayIcon::notificationClicked, this, &Form1::restoreFromTray);
}

Form1::~Form1()
{
    m_trayWndProc->remove();
    // The About window has no owner; it goes with the program.
    delete m_form2.data();
}

std::vector<std::pair<int, QWidget *>> Form1::createControls()
{
    std::vector<std::pair<int, QWidget *>> tabIndices;
    const auto place = [&tabIndices](QWidget *w, const QString &name, const QRect &geometry, int tabIndex,
                                     const QFont &font) {
        w->setObjectName(name);
        w->setGeometry(geometry);
        w->setFont(font);
        tabIndices.emplace_back(tabIndex, w);
    };
    const auto label = [&](QWidget *parent, const QString &name, const QString &caption,
                           const QRect &geometry, int tabIndex, const QFont &font = arial(9)) {
        auto *l = new QLabel(caption, parent);
        place(l, name, geometry, tabIndex, font);
        return l;
    };
    const auto lineEdit = [&](QWidget *parent, const QString &name, const QString &text,
                              const QRect &geometry, int tabIndex, const QFont &font = arial(9)) {
        auto *e = new QLineEdit(text, parent);
        place(e, name, geometry, tabIndex, font);
        e->setMaxLength(kMaxTextBoxLength);
        // Queued: the box is still inserting when it reports the cut.
        const auto reportCut = [this, e] {
            textBoxInputCut(e);
        };
        connect(e, &QLineEdit::inputRejected, this, reportCut, Qt::QueuedConnection);
        return e;
    };
    const auto frame = [&](const QString &name, const QString &caption, const QRect &geometry, int tabIndex) {
        auto *f = new QGroupBox(caption, this);
        place(f, name, geometry, tabIndex, arial(9));
        return f;
    };
    const auto option = [&](QWidget *parent, const QString &name, const QString &caption,
                            const QRect &geometry, int tabIndex) {
        auto *o = new CaptionRadioButton(caption, parent);
        place(o, name, geometry, tabIndex, arial(9));
        return o;
    };
    const auto button = [&](const QString &name, const QString &caption, const QRect &geometry,
                            int tabIndex) {
        auto *b = new QPushButton(caption, this);
        place(b, name, geometry, tabIndex, arial(9));
        // Enter in a box and Escape press nothing.
        b->setAutoDefault(false);
        b->setDefault(false);
        return b;
    };

    label(this, QStringLiteral("Label1(0)"), QStringLiteral("ServerName"), twips(240, 360, 1095, 255), 3);
    m_text1[0] = lineEdit(this, QStringLiteral("Text1(0)"), QString(), twips(1680, 240, 3135, 375), 0);
    label(this, QStringLiteral("Label1(1)"), QStringLiteral("Location"), twips(6000, 360, 975, 255), 32);
    m_text1[1] = lineEdit(this, QStringLiteral("Text1(1)"), QString(), twips(7200, 240, 2175, 375), 1);
    label(this, QStringLiteral("Label1(2)"), QStringLiteral("Web Page"), twips(240, 960, 975, 255), 4);
    m_text1[2] = lineEdit(this, QStringLiteral("Text1(2)"), QString(), twips(1680, 840, 3135, 375), 2);
    label(this, QStringLiteral("Label1(3)"), QStringLiteral("MaxUsers"), twips(6000, 960, 1215, 255), 31);
    m_text1[3] = lineEdit(this, QStringLiteral("Text1(3)"), QString(), twips(7200, 840, 2175, 375), 5);
    label(this, QStringLiteral("Label1(4)"), QStringLiteral("ServPort"), twips(240, 1560, 975, 255), 6);
    m_text1[4] = lineEdit(this, QStringLiteral("Text1(4)"), QString(), twips(1680, 1440, 1095, 375), 9);
    label(this, QStringLiteral("Label1(6)"), QStringLiteral("IP Address"), twips(6000, 1560, 1095, 255), 30);
    m_text1[5] = lineEdit(this, QStringLiteral("Text1(5)"), QString(), twips(7200, 1440, 2175, 375), 13);
    label(this, QStringLiteral("Label1(7)"), QStringLiteral("MinPing(ms)"), twips(240, 2400, 1215, 255), 7);
    m_text1[8] = lineEdit(this, QStringLiteral("Text1(8)"), QString(), twips(1680, 2280, 975, 375), 16);

    m_frame1 =
        frame(QStringLiteral("Frame1"), QStringLiteral("Network Type"), twips(4920, 2160, 4455, 855), 10);
    m_option1 =
        option(m_frame1, QStringLiteral("Option1"), QStringLiteral("Lan"), twips(480, 240, 1095, 375), 11);
    m_option2 = option(m_frame1, QStringLiteral("Option2"), QStringLiteral("Internet"),
                       twips(1920, 240, 1335, 375), 12);
    m_networkType = new QButtonGroup(this);
    m_networkType->addButton(m_option1);
    m_networkType->addButton(m_option2);

    m_frame2 = frame(QStringLiteral("Frame2"), QStringLiteral("Messages flood protection"),
                     twips(240, 3360, 3495, 1095), 14);
    m_text4 =
        lineEdit(m_frame2, QStringLiteral("Text4"), QString(), twips(120, 360, 495, 375), 27, arial(10.5));
    fitTextToBox(m_text4);
    label(m_frame2, QStringLiteral("Label2"), QStringLiteral("messages at most in "),
          twips(720, 480, 2055, 255), 15);
    m_text3 =
        lineEdit(m_frame2, QStringLiteral("Text3"), QString(), twips(2520, 360, 495, 375), 26, arial(10.5));
    fitTextToBox(m_text3);
    label(m_frame2, QStringLiteral("Label3"), QStringLiteral("ms"), twips(3120, 480, 255, 255), 33);

    label(this, QStringLiteral("Label1(8)"), QStringLiteral("Message of the Day"),
          twips(4920, 3120, 2295, 255), 8);
    m_text2 = new QPlainTextEdit(this);
    place(m_text2, QStringLiteral("Text2"), twips(4920, 3480, 4455, 975), 25, arial(9));
    m_text2->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_text2->setTabChangesFocus(true);

    // The caption ends in a line break that shows nothing; a group box title
    // would draw it as an empty second line, so it is left out.
    m_frame3 = frame(QStringLiteral("Frame3"), QStringLiteral(" Maximum connection setting restriction"),
                     twips(240, 4800, 9135, 975), 17);
    struct ConnectionOption
    {
        const char *caption;
        int left;
        int width;
    };
    static constexpr ConnectionOption kConnectionOptions[kConnectionSettingCount] = {
        {"Disabled", 240, 1095},     {"Bad 10fps", 1440, 1095}, {"Low 12fps", 2640, 975},
        {"Average15fps", 3840, 975}, {"Good 20fps", 5040, 975}, {"Excellant 30fps", 6240, 1215},
        {"LAN\n60fps", 7440, 1335},
    };
    m_connectionSetting = new QButtonGroup(this);
    for (int i = 0; i < kConnectionSettingCount; ++i) {
        const ConnectionOption &c = kConnectionOptions[i];
        // Most captions are wider than their buttons: they wrap, and are
        // read out on one line.
        m_option3[i] = option(m_frame3, QStringLiteral("Option3(%1)").arg(i), QString::fromLatin1(c.caption),
                              twips(c.left, 360, c.width, 375), 18 + i);
        m_option3[i]->setAccessibleName(m_option3[i]->text().replace(u'\n', u' '));
        m_connectionSetting->addButton(m_option3[i], i);
    }

    m_label4 = new StatusLabel(this);
    place(m_label4, QStringLiteral("Label4"), twips(kStatusLeft, kStatusTop, kStatusWidth, kStatusHeight), 28,
          arial(10.5, true));
    useHighlightColour(m_label4);
    // A message longer than the line takes whole lines of the free space
    // below it.
    m_label4->setMinimumHeight(kStatusHeight / 15);
    m_label4->setMaximumHeight(kStatusMaxHeightPx);

    m_command1 =
        button(QStringLiteral("Command1"), QStringLiteral("Start"), twips(4320, 6240, 1575, 495), 35);
    m_command2 = button(QStringLiteral("command2"), QStringLiteral("Stop"), twips(6120, 6240, 1455, 495), 36);
    m_command5 =
        button(QStringLiteral("Command5"), QStringLiteral("Server State"), twips(7920, 6240, 1455, 495), 34);
    m_command3 = button(QStringLiteral("Command3"), QStringLiteral("About"), twips(7680, 6960, 855, 495), 29);
    m_command4 = button(QStringLiteral("command4"), QStringLiteral("Exit"), twips(8640, 6960, 735, 495), 37);

    connect(m_command1, &QPushButton::clicked, this, &Form1::Command1_Click);
    connect(m_command2, &QPushButton::clicked, this, &Form1::command2_Click);
    connect(m_command3, &QPushButton::clicked, this, &Form1::Command3_Click);
    connect(m_command5, &QPushButton::clicked, this, &Form1::Command5_Click);
    connect(m_command4, &QPushButton::clicked, this, &Form1::command4_Click);

    // Screen readers announce each box by the label that names it, and the
    // option buttons by the frame around them.
    const std::pair<const char *, QWidget *> buddies[] = {
        {"Label1(0)", m_text1[0]}, {"Label1(1)", m_text1[1]}, {"Label1(2)", m_text1[2]},
        {"Label1(3)", m_text1[3]}, {"Label1(4)", m_text1[4]}, {"Label1(6)", m_text1[5]},
        {"Label1(7)", m_text1[8]}, {"Label1(8)", m_text2},    {"Label2", m_text4},
        {"Label3", m_text3},
    };
    for (const auto &[labelName, box] : buddies) {
        auto *named = findChild<QLabel *>(QLatin1String(labelName));
        named->setBuddy(box);
        // And a label stands level with the box of its row.
        if (auto *row = qobject_cast<QLineEdit *>(box))
            alignBaselineWith(named, row);
    }
    m_frame3->setAccessibleName(m_frame3->title().trimmed());
    setAccessibleWindowRole(this, QAccessible::Window);

    return tabIndices;
}

void Form1::setTabOrderByIndex(std::vector<std::pair<int, QWidget *>> tabIndices)
{
    std::stable_sort(tabIndices.begin(), tabIndices.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    QWidget *previous = nullptr;
    for (const auto &[index, widget] : tabIndices) {
        Q_UNUSED(index)
        // Labels and frames never take the focus. An option that is not
        // selected is no tab stop but keeps its place for when it is.
        if (widget->focusPolicy() == Qt::NoFocus)
            continue;
        if (previous)
            setTabOrder(previous, widget);
        previous = widget;
    }
}

void Form1::Form_Load(Adoption adoption)
{
    m_text1[5]->setText(localIpAddress());
    if (QFile::exists(lastSettingsPath()))
        RestoreLastSettings();
    m_loadNotice = m_label4->text();
    if (adoption == Adoption::Now) {
        m_searchRequested = true;
        m_session->searchNow();
        return;
    }
    // A window that is never painted (on a workspace nobody looks at) still
    // finds its server. Start searches again under the folder's lock, so it
    // never launches beside a server that this search has yet to find.
    connect(this, &Form1::firstPainted, this, &Form1::searchForRunningServer);
    QTimer::singleShot(kLongestWaitForFirstPaintMs, this, &Form1::searchForRunningServer);
}

void Form1::paintEvent(QPaintEvent *event)
{
    QWidget::paintEvent(event);
    // Once this paint has reached the screen.
    if (!m_painted) {
        m_painted = true;
        QTimer::singleShot(0, this, &Form1::firstPainted);
    }
}

void Form1::searchForRunningServer()
{
    if (m_searchRequested)
        return;
    m_searchRequested = true;
    m_session->search();
}

QString Form1::GetFromINI(const QString &AppName, const QString &KeyName) const
{
    return LastSettingsFile::load(lastSettingsPath()).file.GetFromINI(AppName, KeyName);
}

void Form1::RestoreLastSettings()
{
    // The rules live in the core, which the command line's --start shares.
    const StartupSettings restored = restoreStartupSettings(lastSettingsPath(), settingsFromControls());
    if (restored.state == LoadedLastSettings::State::Read)
        applySettings(restored.settings);
    if (!restored.notice.isEmpty())
        showStatus(restored.notice);
}

void Form1::textBoxInputCut(QLineEdit *box)
{
    // The box cuts what is typed or pasted at its limit wherever that falls,
    // even between the two halves of a character: drop a half left alone.
    const QString text = box->text();
    const int cursor = box->cursorPosition();
    if (cursor > 0 && text[cursor - 1].isHighSurrogate() &&
        (cursor == text.size() || !text[cursor].isLowSurrogate()))
        box->backspace();
    showStatus(QStringLiteral("The text is too long for its box (at most %1 characters); the rest was "
                              "left out.")
                   .arg(box->maxLength()));
}

ServerSettings Form1::settingsFromControls() const
{
    ServerSettings s;
    s.serverName = m_text1[0]->text();
    s.location = m_text1[1]->text();
    s.url = m_text1[2]->text();
    s.maxUsers = m_text1[3]->text();
    s.port = m_text1[4]->text();
    s.isPublic = m_option2->isChecked();
    s.ip = m_text1[5]->text();
    s.floodMsgNb = m_text4->text();
    s.floodMsgTime = m_text3->text();
    s.minPing = m_text1[8]->text();
    const int connection = m_connectionSetting->checkedId();
    s.maxConnSet = connection >= 0 ? std::optional<int>(connection) : std::nullopt;
    s.motd = motdFromEditorText(messageBoxText(*m_text2));
    return s;
}

void Form1::applySettings(const ServerSettings &s)
{
    // setText would cut a text that is too long between the halves of a character.
    const auto setText = [](QLineEdit *box, QString text) {
        cutToLength(text, box->maxLength());
        box->setText(text);
    };
    setText(m_text1[0], s.serverName);
    setText(m_text1[1], s.location);
    setText(m_text1[2], s.url);
    setText(m_text1[3], s.maxUsers);
    setText(m_text1[4], s.port);
    (s.isPublic ? m_option2 : m_option1)->setChecked(true);
    setText(m_text1[5], s.ip);
    setText(m_text4, s.floodMsgNb);
    setText(m_text3, s.floodMsgTime);
    setText(m_text1[8], s.minPing);
    if (s.maxConnSet && *s.maxConnSet >= 0 && *s.maxConnSet < kConnectionSettingCount)
        m_option3[*s.maxConnSet]->setChecked(true);
    m_text2->setPlainText(motdToEditorText(s.motd));
}

void Form1::showState(ServerSession::State state)
{
    using State = ServerSession::State;
    if (state != State::Searching)
        m_loadNotice.clear();
    const bool running = state == State::Running;
    const bool stopped = state == State::Stopped;
    // The button of the next action is enabled before the others are
    // disabled, and takes the focus from a button that goes: Qt would hand
    // it on to the next enabled control, Exit, where one Space would end the
    // program.
    QWidget *next = running   ? static_cast<QWidget *>(m_command2)
                    : stopped ? static_cast<QWidget *>(m_command1)
                              : static_cast<QWidget *>(m_text1[0]);
    const std::pair<QPushButton *, bool> buttons[] = {
        {m_command1, stopped}, {m_command2, running}, {m_command5, running}};
    for (const auto &[button, enabled] : buttons) {
        if (enabled)
            button->setEnabled(true);
    }
    // Only a focus on the buttons, or one that the last change put in the
    // first box, moves: never one in a box that is being typed in.
    QWidget *focused = focusWidget();
    const bool focusMoves = !focused || focused == m_placedFocus || focused == m_command1 ||
                            focused == m_command2 || focused == m_command5 || focused == m_command4;
    if (focusMoves && state != State::Searching && state != State::Exiting) {
        next->setFocus(Qt::OtherFocusReason);
        m_placedFocus = next;
    }
    for (const auto &[button, enabled] : buttons) {
        if (!enabled)
            button->setEnabled(false);
    }
}

void Form1::showStatus(const QString &text)
{
    // createControls made Label4 a StatusLabel.
    m_label4->setStatus(text);
}

void Form1::Command1_Click()
{
    m_session->start(settingsFromControls());
}

void Form1::command2_Click()
{
    m_session->stop();
}

void Form1::serverEndedByItself(const QString &text)
{
    // Nobody sees the status line of a window in the tray.
    if (m_trayWndProc->isInstalled())
        m_trayIcon->showNotification(windowTitle(), text);
}

void Form1::Command5_Click()
{
    m_session->openServerPage(QStringLiteral("http://") + localIpAddress() + u':' + m_text1[4]->text());
}

void Form1::Command3_Click()
{
    // One About window at most; a hidden one comes back as it was.
    if (!m_form2)
        m_form2 = new Form2;
    m_form2->show();
    m_form2->raise();
    m_form2->activateWindow();
}

void Form1::closeAbout()
{
    if (m_form2)
        m_form2->close();
}

void Form1::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    // Hiding a window from inside its own state change is unreliable on X11:
    // do it once the change is through.
    if (event->type() == QEvent::WindowStateChange && isMinimized())
        QMetaObject::invokeMethod(this, &Form1::Form_Resize, Qt::QueuedConnection);
}

void Form1::Form_Resize()
{
    if (!isMinimized() || m_trayWndProc->isInstalled())
        return;
    MinimizeToTray();
    if (m_form2)
        m_form2->hide();
}

void Form1::MinimizeToTray()
{
    // Without a tray the window stays minimized on the taskbar. The tray gets
    // the program's icon with every size, not the window's.
    if (!m_trayIcon->AddTrayIcon(programIcon(), kTrayToolTip))
        return;
    hide();
    m_trayWndProc->install(this);
}

void Form1::restoreFromTray()
{
    m_trayIcon->RemoveTrayIcon();
    m_trayWndProc->remove();
    // show() alone would map the window iconic again.
    showNormal();
    raise();
    activateWindow();
}

void Form1::leaveLostTray()
{
    if (!m_trayWndProc->isInstalled())
        return;
    m_trayIcon->RemoveTrayIcon();
    m_trayWndProc->remove();
    // Hidden without an icon, the window could never be reached again.
    showMinimized();
}

void Form1::stopServerBeforeExit()
{
    // Once Exiting, a second call ends nothing more.
    m_session->exit();
}

void Form1::command4_Click()
{
    stopServerBeforeExit();
    closeAbout();
    QCoreApplication::exit(0);
}

void Form1::closeEvent(QCloseEvent *event)
{
    stopServerBeforeExit();
    closeAbout();
    event->accept();
    QCoreApplication::exit(0);
}
