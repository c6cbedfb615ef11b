#include "commandline.h"

#include <QCommandLineParser>

#include <utility>

namespace {

// The options that Qt's application objects take from the command line
// (QGuiApplication, QApplication and the X11 platform), which the program
// must let through: an X11 session manager restarts it with "-session ID",
// and a user may choose the platform or the style.
constexpr const char *kQtOptionsWithValue[] = {
    "platform",    "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry",
    "qwindowicon", "qwindowtitle",       "session",       "style",  "stylesheet",
    "display",     "geometry",           "title",         "icon",   "name",
    "visual",      "qmljsdebugger",
};
constexpr const char *kQtFlags[] = {"reverse", "widgetcount", "nograb", "dograb", "testability"};

struct Parser
{
    Parser()
    {
        parser.setApplicationDescription(
            QStringLiteral("Set up, start and stop the Orbelith dedicated server.\n"
                           "The program writes orbelithsrv.conf and orbelithsrv.ini into its working\n"
                           "folder and starts the server, orbelithsrv, there. With --start, --stop or\n"
                           "--status it does that without a window, for scripts.\n"
                           "Qt's own options (-platform, -style, -session, -display, ...) are passed\n"
                           "on to Qt."));
        // Qt's options are words after a single dash, as session managers
        // pass them: "-session ID" is not "-s -e -s -s -i -o -n ID".
        parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
        parser.addOptions({help, version, chooseFolder, lastFolder, start, stop, status});
        for (const char *name : kQtOptionsWithValue)
            parser.addOption(qtOption(name, QStringLiteral("value")));
        for (const char *name : kQtFlags)
            parser.addOption(qtOption(name, QString()));
        parser.addPositionalArgument(QStringLiteral("FOLDER"),
                                     QStringLiteral("The server's folder, to work in instead of the "
                                                    "current one."),
                                     QStringLiteral("[FOLDER]"));
    }

    QString helpText() const
    {
        // Qt's usage line names the program as it was called, or a
        // placeholder before the application exists; the name it is
        // installed under is the one a user types.
        const QString text = parser.helpText();
        return QStringLiteral("Usage: %1 [options] [FOLDER]").arg(kProgramName) +
               text.mid(text.indexOf(u'\n'));
    }

    static QCommandLineOption qtOption(const char *name, const QString &valueName)
    {
        QCommandLineOption option(QString::fromLatin1(name), QString(), valueName);
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        return option;
    }

    QCommandLineParser parser;
    // Qt's own help and version options would add --help-all, for options
    // this program does not take before its window exists, and -v, which
    // most programs use for something else.
    const QCommandLineOption help{{QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit.")};
    const QCommandLineOption version{QStringLiteral("version"),
                                     QStringLiteral("Show the version and licence and exit.")};
    const QCommandLineOption chooseFolder{
        QStringLiteral("choose-folder"),
        QStringLiteral("Ask for the server's folder with a folder picker first, and remember the choice for "
                       "--last-folder.")};
    const QCommandLineOption lastFolder{
        QStringLiteral("last-folder"),
        QStringLiteral("Work in the folder last chosen with --choose-folder; with none chosen yet, in the "
                       "current folder.")};
    const QCommandLineOption start{
        QStringLiteral("start"),
        QStringLiteral("Without a window: start the server in the folder as Start does, with the last "
                       "settings, unless one runs there already.")};
    const QCommandLineOption stop{QStringLiteral("stop"),
                                  QStringLiteral("Without a window: stop the folder's servers as Stop does, "
                                                 "and wait until they have ended.")};
    const QCommandLineOption status{
        QStringLiteral("status"),
        QStringLiteral("Without a window: tell whether the server runs in the folder (exit status 0 when it "
                       "runs, 3 when it does not).")};
};

CommandLine mistake(const QString &what)
{
    CommandLine result;
    result.exitStatus = 2;
    result.message =
        QStringLiteral("%1: %2\nTry '%1 --help' for more information.\n").arg(kProgramName, what);
    return result;
}

} // namespace

CommandLine parseCommandLine(const QStringList &arguments)
{
    Parser p;
    if (!p.parser.parse(arguments))
        return mistake(p.parser.errorText());

    CommandLine result;
    // Help and version win over everything else, as users expect.
    if (p.parser.isSet(p.help)) {
        result.exitStatus = 0;
        result.message = p.helpText();
        return result;
    }
    if (p.parser.isSet(p.version)) {
        result.exitStatus = 0;
        result.message = QStringLiteral("%1 %2\nCopyright (c) 2026 Orbelith team\n"
                                        "License MIT: <https://opensource.org/licenses/MIT>\n")
                             .arg(kProgramName, QStringLiteral(ORBELITH_VERSION));
        return result;
    }

    const std::pair<const QCommandLineOption &, CommandLine::Script> scripts[] = {
        {p.start, CommandLine::Script::Start},
        {p.stop, CommandLine::Script::Stop},
        {p.status, CommandLine::Script::Status},
    };
    int scriptsAsked = 0;
    for (const auto &[option, script] : scripts) {
        if (p.parser.isSet(option)) {
            result.script = script;
            ++scriptsAsked;
        }
    }
    if (scriptsAsked > 1)
        return mistake(QStringLiteral("give --start, --stop or --status, not more than one."));
    // A script names its folder, or works in the current one: it has nobody
    // to answer a folder picker.
    if (result.script != CommandLine::Script::None &&
        (p.parser.isSet(p.chooseFolder) || p.parser.isSet(p.lastFolder)))
        return mistake(QStringLiteral("--start, --stop and --status take a FOLDER, not --choose-folder or "
                                      "--last-folder."));

    const QStringList folders = p.parser.positionalArguments();
    const int ways =
        int(folders.size()) + int(p.parser.isSet(p.chooseFolder)) + int(p.parser.isSet(p.lastFolder));
    if (folders.size() > 1)
        return mistake(QStringLiteral("one FOLDER at most, %1 given.").arg(folders.size()));
    if (ways > 1)
        return mistake(QStringLiteral("give a FOLDER, --choose-folder or --last-folder, not more than one."));

    result.displayGiven =
        p.parser.isSet(QStringLiteral("platform")) || p.parser.isSet(QStringLiteral("display"));
    if (!folders.isEmpty()) {
        result.folder = CommandLine::Folder::Given;
        result.givenFolder = folders.constFirst();
    } else if (p.parser.isSet(p.chooseFolder)) {
        result.folder = CommandLine::Folder::Choose;
    } else if (p.parser.isSet(p.lastFolder)) {
        result.folder = CommandLine::Folder::LastChosen;
    }
    return result;
}
