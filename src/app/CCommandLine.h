#ifndef MAD_APP_CCOMMANDLINE_H
#define MAD_APP_CCOMMANDLINE_H

#include <string>

// The program's command line, read once at start-up: which action it asks for, the directory to
// work in, whether to run a single pass, only to check the configuration, or quietly. Judges only; the entry prints and
// exits. Holds copies of what it read, nothing borrowed.
class CCommandLine {
public:
    enum class Action { Run, Help, Version, Invalid };

    // argv[0] is the program's name and is not an option. No arguments means Run, as in the
    // program's first form. The first --help or --version wins over anything after it; an
    // unknown option, a stray argument or a missing directory makes the line Invalid.
    CCommandLine(int argc, const char* const* argv);

    Action GetAction() const { return m_action; }
    // Set when GetAction() is Invalid: what was wrong, in one line without a line end.
    const std::string& Error() const { return m_error; }
    // Empty when no -C/--directory was given.
    const std::string& Directory() const { return m_directory; }
    bool RunOnce() const { return m_runOnce; }
    // --dry-run: one pass that only says what it would do.
    bool DryRun() const { return m_dryRun; }
    // --check-config: read and judge config.xml, print the settings, contact nothing.
    bool CheckConfig() const { return m_checkConfig; }
    // -q, --quiet: print only what reports a problem.
    bool Quiet() const { return m_quiet; }

    // The two usage lines, for a bad command line.
    static std::string Synopsis();
    // The whole help text: synopsis, options, signals and exit statuses, ending with a line end.
    static std::string Usage();
    // "mapautodownloader <version>\n".
    static std::string VersionText();

private:
    void Fail(const std::string& error);

    Action m_action = Action::Run;
    std::string m_error;
    std::string m_directory;
    bool m_runOnce = false;
    bool m_dryRun = false;
    bool m_checkConfig = false;
    bool m_quiet = false;
};

#endif
