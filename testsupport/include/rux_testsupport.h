// Test support: real programs in child processes, their readiness and their logs.
//
// Used by the end-to-end tests of every program. Nothing here knows our own
// libraries: programs are started by path, with an environment of the test's
// choosing, and watched through their output and the systemd readiness protocol.
//
// Ownership: a processT owns its child; destroying it kills (SIGKILL) a child
// that is still running and reaps it. When the current GoogleTest test has
// failed, the destructor prints the child's collected output and every file
// registered with attachLog(), so a failure shows what the program said.
// A child is also killed when the thread that started it ends (PR_SET_PDEATHSIG),
// so a test binary killed by a time-out leaves no programs behind: start
// children from the test's own thread.
//
// Thread-safety: one processT is used by one test thread; its output is
// collected by an internal reader thread and the accessors are safe against it.
// Failure: start() returns false (with errno-based text in lastError()); waits
// return false on time-out; nothing throws.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace rux::test {

using msT = std::chrono::milliseconds;

// A fresh private directory under $TMPDIR (or /tmp), removed with its contents
// at destruction. Use it as RUX_RUNTIME_DIR, HOME, log directory, unit directory.
class tempDirT {
public:
    tempDirT();
    ~tempDirT();
    tempDirT(const tempDirT&) = delete;
    tempDirT& operator=(const tempDirT&) = delete;

    const std::string& path() const { return _path; }
    // path() + "/" + name, creating the sub-directory when mkdir is true.
    std::string sub(const std::string& name, bool mkdir = false) const;

private:
    std::string _path;
};

// Reads a whole file into a string ("" when it cannot be read).
std::string readFile(const std::string& path);

// One child process. Standard output and standard error are merged into one
// collected text; standard input is a pipe the test may write to (or /dev/null).
class processT {
public:
    struct optionsT {
        std::vector<std::string> argv;                 // argv[0] is the program path
        std::map<std::string, std::string> env;        // added to (or replacing) the test's env
        std::vector<std::string> unsetEnv;             // removed from the environment
        bool notify = false;                           // provide a NOTIFY_SOCKET
        bool stdinPipe = false;                        // false: stdin is /dev/null
        bool pty = false;                              // stdin/stdout/stderr on a pseudo-terminal
        bool newSession = true;                        // setsid(): the child leads its own group
        std::string cwd;                               // empty: inherit
    };

    explicit processT(optionsT opts);
    explicit processT(std::vector<std::string> argv); // default options
    ~processT();
    processT(const processT&) = delete;
    processT& operator=(const processT&) = delete;

    bool start();
    pid_t pid() const { return _pid; }
    const std::string& lastError() const { return _err; }

    // Collected output so far (stdout and stderr merged, in arrival order).
    std::string output() const;
    // Waits until the output contains `text` at or after byte offset `from`.
    // On success *at (if given) receives the offset just after the match.
    bool waitForOutput(const std::string& text, msT timeout = msT(10000), size_t from = 0,
                       size_t* at = nullptr);
    // Waits until a file (a log) contains `text`.
    static bool waitForFile(const std::string& path, const std::string& text,
                            msT timeout = msT(10000));

    // systemd notification protocol (optionsT::notify): every datagram received
    // on NOTIFY_SOCKET, in order. waitForNotify waits for one that contains `text`
    // (for example "READY=1" or "STOPPING=1").
    bool waitForNotify(const std::string& text, msT timeout = msT(10000));
    std::vector<std::string> notifications() const;

    // Standard input (optionsT::stdinPipe or pty).
    bool writeInput(const std::string& bytes);
    void closeInput();

    bool signal(int sig);
    // Waits for the child to end; true when it did within the time-out.
    bool wait(msT timeout = msT(10000));
    bool running();
    // After wait(): how it ended.
    bool exited() const;
    int exitCode() const;        // -1 unless exited()
    int termSignal() const;      // 0 unless killed by a signal
    bool coreDumped() const;

    // Files printed with the output when the test fails (log files, dumps).
    void attachLog(const std::string& path) { _logs.push_back(path); }

private:
    void _reader(int fd);
    void _notifyReader();

    optionsT _opts;
    pid_t _pid = -1;
    int _status = 0;
    bool _done = false;
    std::string _err;
    int _inFd = -1;
    int _outFd = -1;
    int _notifyFd = -1;
    int _stopFd = -1; // eventfd that ends the reader threads
    std::string _notifyPath;
    std::unique_ptr<tempDirT> _notifyDir;
    mutable std::mutex _mtx;
    std::condition_variable _cv;
    std::string _out;
    std::vector<std::string> _notes;
    std::thread _outThread;
    std::thread _notifyThread;
    std::vector<std::string> _logs;
};

// A telnet client over TCP for console tests: connects to 127.0.0.1:port,
// answers the server's option negotiation like a VT100 terminal (WILL TTYPE,
// SB TTYPE IS "DEC-VT100"), collects what the server prints with telnet
// commands removed.
class telnetClientT {
public:
    telnetClientT() = default;
    ~telnetClientT();
    bool connect(uint16_t port, msT timeout = msT(5000));
    bool send(const std::string& bytes);       // raw bytes (typed keys)
    bool sendLine(const std::string& line);    // bytes + "\r"
    std::string output() const;                // everything received so far
    bool waitForOutput(const std::string& text, msT timeout = msT(10000), size_t from = 0,
                       size_t* at = nullptr);
    bool waitClosed(msT timeout = msT(10000)); // the server closed the connection
    void close();

private:
    void _reader();
    int _fd = -1;
    mutable std::mutex _mtx;
    std::condition_variable _cv;
    std::string _out;
    bool _closed = false;
    std::thread _thread;
};

// The port in a log line such as "telnet server listening on 127.0.0.1:40123"
// (the number after the last ':' following `marker`); 0 when absent.
uint16_t portAfter(const std::string& text, const std::string& marker);

} // namespace rux::test
