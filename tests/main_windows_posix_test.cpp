// The built service program as a subprocess: exit codes, and which stream gets the text.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Outcome {
    int exit_code = -1;
    std::string out;
    std::string err;
};

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

std::string joined(const std::vector<std::string>& args) {
    std::string line;
    for (const auto& a : args) {
        line += a + " ";
    }
    return line;
}

// Runs $TESSARO_TEST_BINARY_DIR/proxy/tessaro with the given registry file (none: every setting
// at its default) and no forced colours; interrupted as by Ctrl+C after `interrupt_after` if
// given, killed after 30 s.
Outcome run_tessaro(const std::vector<std::string>& args, const std::string& registry_text = "",
                    std::optional<std::chrono::milliseconds> interrupt_after = std::nullopt) {
    const char* dir = std::getenv("TESSARO_TEST_BINARY_DIR");
    std::string exe = std::string(dir == nullptr ? "." : dir) + "/proxy/tessaro";
    std::string base = "/tmp/tessaro_main_test_" + std::to_string(getpid());
    std::string out_path = base + ".out";
    std::string err_path = base + ".err";
    std::string registry = base + ".reg";
    std::remove(registry.c_str());
    if (!registry_text.empty()) {
        std::ofstream(registry, std::ios::binary) << registry_text;
    }
    std::vector<std::string> argv_text{exe};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_text) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    Outcome outcome;
    pid_t child = fork();
    if (child == 0) {
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        setenv("TESSARO_REGISTRY_FILE", registry.c_str(), 1);
        unsetenv("CLICOLOR_FORCE");
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    if (child < 0) {
        return outcome;
    }
    const auto started = std::chrono::steady_clock::now();
    auto deadline = started + std::chrono::seconds(30);
    int status = 0;
    for (;;) {
        if (waitpid(child, &status, WNOHANG) == child) {
            break;
        }
        if (interrupt_after && std::chrono::steady_clock::now() > started + *interrupt_after) {
            kill(child, SIGINT);
            interrupt_after.reset();
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    outcome.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.out = read_file(out_path);
    outcome.err = read_file(err_path);
    std::remove(out_path.c_str());
    std::remove(err_path.c_str());
    std::remove(registry.c_str());
    return outcome;
}

}  // namespace

TEST(TessaroProgram, ExitCodesAndStreams) {
    enum class Stream { Out, Err };
    struct Case {
        std::vector<std::string> args;
        int exit_code;
        Stream text_on;  // the stream that gets the text; the other stays empty
        const char* contains;
    } cases[] = {
        {{"--help"}, 0, Stream::Out, "Usage: tessaro [OPTIONS] [SUBCOMMAND]"},
        {{"-h"}, 0, Stream::Out, "Use verbose output"},
        {{"-V"}, 0, Stream::Out, "Korvel Tessaro 1.3.2\n"},
        {{"--version"}, 0, Stream::Out, "Korvel Tessaro 1.3.2\n"},
        {{"help"}, 0, Stream::Out, "Run proxy as Windows service"},
        {{"install", "--help"}, 0, Stream::Out, "Install Windows service"},
        {{"install", "-v"}, 2, Stream::Err, "-v"},
        {{"--bogus"}, 2, Stream::Err, "--bogus"},
        {{"bogus-subcommand"}, 2, Stream::Err, "bogus-subcommand"},
        {{"-v", "--", "install"}, 2, Stream::Err, "install"},
        // Started by hand there is no event log to log to: the program ends at once, saying
        // why on standard error.
        {{"service"}, 101, Stream::Err, "Korvel Tessaro"},
    };
    for (const auto& c : cases) {
        Outcome outcome = run_tessaro(c.args);
        EXPECT_EQ(outcome.exit_code, c.exit_code) << joined(c.args) << outcome.err;
        const std::string& text = c.text_on == Stream::Out ? outcome.out : outcome.err;
        const std::string& other = c.text_on == Stream::Out ? outcome.err : outcome.out;
        EXPECT_NE(text.find(c.contains), std::string::npos) << joined(c.args) << "\n" << text;
        EXPECT_EQ(other, "") << joined(c.args);
    }
}

// `install` logs its steps on standard output in the console format, without colours into a
// file; without an event log the first step fails, the service is not tried, and the program
// still ends with 0.
TEST(TessaroProgram, InstallLogsOnTheConsoleAndEndsWithZero) {
    for (const char* verbose : {"-v", "--verbose"}) {
        Outcome outcome = run_tessaro({verbose, "install"});
        EXPECT_EQ(outcome.exit_code, 0) << outcome.err;
        EXPECT_EQ(outcome.err, "");
        EXPECT_NE(
            outcome.out.find(" ERROR [tessaro::main_windows] Could not register EventLog source: "),
            std::string::npos)
            << outcome.out;
        EXPECT_EQ(outcome.out.find("\x1b["), std::string::npos) << outcome.out;
    }
}

// Without -v the stored level decides: "warn" keeps the console run's info lines back; -v shows
// them (and debug) whatever is stored.
TEST(TessaroProgram, TheStoredLogLevelAppliesUnlessVerboseIsGiven) {
    const std::string warn_only =
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvel\\Tessaro]\n"
        "\"loglevel\"=\"warn\"\n";
    const std::string started = " INFO  [tessaro::app] Korvel Tessaro 1.3.2";
    struct Case {
        std::vector<std::string> args;
        std::string registry;
        bool info_shown;
    } cases[] = {
        {{}, "", true},  // nothing stored: info
        {{}, warn_only, false},
        {{"-v"}, warn_only, true},
    };
    for (const auto& c : cases) {
        Outcome outcome = run_tessaro(c.args, c.registry, std::chrono::milliseconds(1500));
        EXPECT_EQ(outcome.exit_code, 0) << joined(c.args) << outcome.err;
        EXPECT_EQ(outcome.out.find(started) != std::string::npos, c.info_shown)
            << joined(c.args) << c.registry << "\n"
            << outcome.out;
        EXPECT_EQ(outcome.out.find(" INFO  [tessaro::app] Stopped.") != std::string::npos,
                  c.info_shown)
            << outcome.out;
    }
}
