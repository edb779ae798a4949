// cliCtxT: the parsing context of one session.
//
// It holds everything the parser states work on: the current menu and the
// elements entered on the line, the line and the word being typed, the
// choices the word can still become, the arguments being filled, the
// history. The states (cli/state.h) are stateless; they read and change the
// context.
// Ownership: owned by its session; refers to the tree and the output by
// shared pointers.
// Thread-safety: one thread at a time (that of its session).
#pragma once

#include <cstddef>
#include <deque>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "cli/args.h"
#include "cli/elem.h"
#include "cli/output.h"

namespace rux {

class cliStateT;

class cliCtxT {
public:
    struct histElemT {
        std::string line;
        std::shared_ptr<cliMenuT> menu; // where it was typed
    };
    // How the choices are drawn from the current element.
    enum choiceModeT {
        enNAMES,   // children whose names start with the word
        enOPTIONS, // parameters of the command not yet given, typed as "-name"
        enVALUES,  // values of valuesOf that the decoded word can still become
    };
    // One line of a help listing.
    struct rowT {
        std::string prefix;
        std::string name;
        std::string help;
    };

    static constexpr std::size_t maxHistory = 20; // entries per menu
    static constexpr std::size_t maxText = 4096;  // line plus word

    explicit cliCtxT(std::shared_ptr<cliMenuT> root);
    ~cliCtxT();
    cliCtxT(const cliCtxT&) = delete;
    cliCtxT& operator=(const cliCtxT&) = delete;

    std::unique_ptr<cliStateT> state;
    std::shared_ptr<cliMenuT> root;
    std::shared_ptr<cliMenuT> menu;             // the menu the operator is in
    std::deque<std::shared_ptr<cliElemT>> path; // menus entered, then the line's elements
    std::shared_ptr<cliElemT> elem;             // whose children are being chosen from
    std::string line;                           // the line so far, without the word
    std::string word;                           // as typed, quotes and backslashes included
    std::shared_ptr<cliElemT::listT> choices;
    std::shared_ptr<cliOutputT> out;
    cliArgsT args;
    std::size_t menuDepth = 0; // path entries up to the current menu
    std::size_t menuLine = 0;  // where the current menu's text starts in line

    // Temporary flags, cleared by resetTemp().
    bool quoted = false;                   // inside double quotes
    bool escaped = false;                  // after a backslash
    bool optName = false;                  // typing a "-name"
    bool undecided = false;                // a '-' that may start a negative value or a name
    std::shared_ptr<cliParamT> positional; // the next parameter taken by position
    std::shared_ptr<cliParamT> lastNamed;  // the parameter named last

    bool replaying = false; // replayed keys are not echoed
    choiceModeT mode = enNAMES;
    std::shared_ptr<cliElemT> valuesOf;

    std::list<histElemT> history;
    std::list<histElemT>::iterator hcursor; // end(): not browsing

    // The word decoded: quotes dropped, backslash escapes applied.
    std::string ctok() const { return ctok(word); }
    static std::string ctok(const std::string& w);
    // Where the last word of the line starts.
    std::size_t popCmdLine() const;
    void pushCmdLine(const std::string& w);
    void pushHistory(const std::string& l);
    void resetTemp();

    // Switches to e's state; false (nothing changed) when e has none.
    bool enter(std::shared_ptr<cliElemT> e);
    // Recomputes the choices from mode, the current element and the word.
    void choose();
    // What the operator types for a choice.
    std::string key(const cliElemT& e) const;
    // The one next character every untyped choice shares after the word.
    bool commonNext(char& c) const;
    // The choice whose key equals the word.
    std::shared_ptr<cliElemT> exact() const;
    // The command on the line, or empty.
    std::shared_ptr<cliCmdT> command() const;
    // The command's parameters with their argument positions.
    std::vector<std::pair<int, std::shared_ptr<cliParamT>>> params() const;
    int paramPos(const cliParamT* p) const;
    std::shared_ptr<cliParamT> option(const std::string& name) const;
    // The command could run with these arguments.
    bool ready(const cliArgsT& a) const;
    // Runs the command on the line and returns to the current menu.
    void execute();

    bool room(std::size_t n = 1) const { return line.size() + word.size() + n <= maxText; }
    std::string typed() const { return line.substr(menuLine) + word; }
    void echo(char c);
    void lf();
    void prompt();
    void redraw();
    void listing(const std::vector<rowT>& rows, bool cr);
    // Drops the line back to the current menu, silently.
    void abandon();
    // Feeds text through the states, blanks as sep; true when all was taken.
    bool replay(const std::string& text, bool withEcho);
    void recall(const std::string& text);

    // States replaced during one operation stay alive until it returns.
    std::vector<std::unique_ptr<cliStateT>> retired;
};

} // namespace rux
