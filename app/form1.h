#pragma once

#include "servercontrol.h"
#include "serversession.h"
#include "settings.h"

#include <QPointer>
#include <QWidget>

#include <array>
#include <memory>
#include <utility>
#include <vector>

class Form2;
class QButtonGroup;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class TrayIcon;
class TrayWndProc;

// The main window: the server's settings, Start, Stop, Server State, About and
// Exit, and the status line. The settings live only in its controls.
class Form1 final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Form1)

public:
    // Without a control, the platform's own is used.
    explicit Form1(std::unique_ptr<ServerControl> control = nullptr, QWidget *parent = nullptr);
    ~Form1() override;

    // When Form_Load looks for a server already running in this folder.
    enum class Adoption
    {
        Now,
        AfterFirstPaint
    };

    // Runs once before the window is first shown: the local IP address, the
    // last settings when the current directory holds them, then the search
    // for a server already running here. The search reads every process's
    // /proc entry: the started program puts it off until the window is
    // painted (or a second has passed).
    void Form_Load(Adoption adoption = Adoption::Now);

    // The value of a key of the last-settings file in the current directory.
    QString GetFromINI(const QString &AppName, const QString &KeyName) const;
    void RestoreLastSettings();

    ServerSettings settingsFromControls() const;
    void applySettings(const ServerSettings &settings);

    bool isServerRunning() const { return m_session->state() == ServerSession::State::Running; }
    const ServerSession &session() const { return *m_session; }

    // For every way the program can end: ends a server that this window's
    // Start launched, once.
    void stopServerBeforeExit();

signals:
    // Once, when the window's first paint has reached the screen.
    void firstPainted();

protected:
    void changeEvent(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void Command1_Click();
    void command2_Click();
    void Command3_Click();
    void Command5_Click();
    void command4_Click();

    // Minimizing puts the window in the tray, where the desktop has one, and
    // hides the About window either way.
    void Form_Resize();
    void MinimizeToTray();
    // A left press on the tray icon brings the window back, in the normal state.
    void restoreFromTray();
    // The tray went away with the window in it: back to the taskbar, minimized.
    void leaveLostTray();
    void closeAbout();

    // Builds every control; gives each focusable one with its tab index.
    std::vector<std::pair<int, QWidget *>> createControls();
    void setTabOrderByIndex(std::vector<std::pair<int, QWidget *>> tabIndices);
    // The buttons as the session's state allows them, the focus where the
    // next action is.
    void showState(ServerSession::State state);
    // Typing or pasting went past the box's limit.
    void textBoxInputCut(QLineEdit *box);
    void showStatus(const QString &text);
    void serverEndedByItself(const QString &text);
    void searchForRunningServer();

    std::unique_ptr<ServerSession> m_session;
    // What the restore said, kept in front of what the first search says.
    QString m_loadNotice;
    bool m_searchRequested = false;
    // Where the last change of state put the focus.
    QPointer<QWidget> m_placedFocus;
    // firstPainted() is on its way.
    bool m_painted = false;

    // Text1 has no elements 6 and 7.
    std::array<QLineEdit *, 9> m_text1{};
    QPlainTextEdit *m_text2 = nullptr;
    QLineEdit *m_text3 = nullptr;
    QLineEdit *m_text4 = nullptr;
    QGroupBox *m_frame1 = nullptr;
    QGroupBox *m_frame2 = nullptr;
    QGroupBox *m_frame3 = nullptr;
    QRadioButton *m_option1 = nullptr;
    QRadioButton *m_option2 = nullptr;
    std::array<QRadioButton *, kConnectionSettingCount> m_option3{};
    QButtonGroup *m_networkType = nullptr;
    QButtonGroup *m_connectionSetting = nullptr;
    QLabel *m_label4 = nullptr;
    QPushButton *m_command1 = nullptr;
    QPushButton *m_command2 = nullptr;
    QPushButton *m_command3 = nullptr;
    QPushButton *m_command4 = nullptr;
    QPushButton *m_command5 = nullptr;

    QPointer<Form2> m_form2;
    TrayIcon *m_trayIcon = nullptr;
    TrayWndProc *m_trayWndProc = nullptr;
};
