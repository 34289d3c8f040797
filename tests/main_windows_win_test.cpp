// Under Wine: the built tessaro.exe as a subprocess: exit codes, and which stream gets the text.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/os/windows.hpp"

namespace {

struct Outcome {
    int exit_code = -1;
    std::string out;
    std::string err;
};

std::wstring widen(const std::string& text) {
    return std::wstring(text.begin(), text.end());  // paths and arguments here are ASCII
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

HANDLE inheritable_file(const std::string& path) {
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), nullptr, TRUE};
    return CreateFileW(widen(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, &attributes,
                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Runs $TESSARO_TEST_BINARY_DIR/proxy/tessaro.exe with standard output and error in files;
// ended after 60 s.
Outcome run_tessaro(const std::vector<std::string>& args) {
    const char* dir = std::getenv("TESSARO_TEST_BINARY_DIR");
    std::string exe = std::string(dir == nullptr ? "." : dir) + "/proxy/tessaro.exe";
    if (exe.starts_with("/")) {
        exe = "Z:" + exe;  // Wine's drive for the Unix root
    }
    std::string command_line = "\"" + exe + "\"";
    for (const auto& a : args) {
        command_line += " " + a;
    }
    std::string tag = std::to_string(GetCurrentProcessId());
    std::string out_path = "tessaro_main_test_" + tag + ".out";
    std::string err_path = "tessaro_main_test_" + tag + ".err";
    HANDLE out = inheritable_file(out_path);
    HANDLE err = inheritable_file(err_path);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process{};
    std::wstring wide = widen(command_line);
    Outcome outcome;
    if (CreateProcessW(nullptr, wide.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                       &process)) {
        if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0) {
            TerminateProcess(process.hProcess, 1);
            WaitForSingleObject(process.hProcess, INFINITE);
        }
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        outcome.exit_code = static_cast<int>(code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(out);
    CloseHandle(err);
    outcome.out = read_file(out_path);
    outcome.err = read_file(err_path);
    DeleteFileW(widen(out_path).c_str());
    DeleteFileW(widen(err_path).c_str());
    return outcome;
}

std::string joined(const std::vector<std::string>& args) {
    std::string line;
    for (const auto& a : args) {
        line += a + " ";
    }
    return line;
}

}  // namespace

// `install` and `uninstall` themselves are left out: they would change the prefix's services.
TEST(TessaroProgram, ExitCodesAndStreams) {
    enum class Stream { Out, Err };
    struct Case {
        std::vector<std::string> args;
        int exit_code;
        Stream text_on;  // the stream that gets the text; the other stays empty
        const char* contains;
    } cases[] = {
        {{"--help"}, 0, Stream::Out, "Usage: tessaro.exe [OPTIONS] [SUBCOMMAND]"},
        {{"-V"}, 0, Stream::Out, "Korvel Tessaro 1.3.2"},
        {{"help"}, 0, Stream::Out, "Run proxy as Windows service"},
        {{"install", "-h"}, 0, Stream::Out, "Install Windows service"},
        {{"install", "-v"}, 2, Stream::Err, "-v"},
        {{"--bogus"}, 2, Stream::Err, "--bogus"},
        {{"bogus-subcommand"}, 2, Stream::Err, "bogus-subcommand"},
        // Started by hand, the dispatcher has no service control manager to talk to.
        {{"service"}, 101, Stream::Err, ""},
    };
    for (const auto& c : cases) {
        Outcome outcome = run_tessaro(c.args);
        EXPECT_EQ(outcome.exit_code, c.exit_code) << joined(c.args) << outcome.err;
        const std::string& text = c.text_on == Stream::Out ? outcome.out : outcome.err;
        const std::string& other = c.text_on == Stream::Out ? outcome.err : outcome.out;
        EXPECT_FALSE(text.empty()) << joined(c.args);
        EXPECT_NE(text.find(c.contains), std::string::npos) << joined(c.args) << "\n" << text;
        EXPECT_EQ(other, "") << joined(c.args);
    }
}
