// The platform layer as both platforms have it: the file version block, the
// single-instance sign and the configuration program's copy, start and end. The same
// source runs natively on POSIX and under Wine for Windows.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "OtherUser.h"
#endif

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "shell/FileVersionCore.h"
#include "shell/InstanceSign.h"
#include "bridge/SetupProcess.h"

#ifndef _WIN32
extern char** environ;
#endif

namespace lintaro {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto WaitLimit = 10s;

bool WaitUntil(const std::function<bool()>& condition) {
    const auto deadline = Clock::now() + WaitLimit;
    while (!condition()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

fs::path SelfPath() {
#ifdef _WIN32
    wchar_t path[MAX_PATH * 4];
    const DWORD n = GetModuleFileNameW(nullptr, path, static_cast<DWORD>(std::size(path)));
    return fs::path(std::wstring(path, n));
#else
    return fs::read_symlink("/proc/self/exe");
#endif
}

// The probe program, built beside this one.
fs::path ProbePath() {
    return SelfPath().parent_path() / LINTARO_PROBE_NAME;
}

std::string ReadAll(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteAll(const fs::path& file, const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
}

std::map<std::string, std::string> ReadReport(const fs::path& file) {
    std::map<std::string, std::string> report;
    std::istringstream in(ReadAll(file));
    for (std::string line; std::getline(in, line);) {
        const auto eq = line.find('=');
        if (eq != std::string::npos) report[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return report;
}

// A fresh folder under the system's temporary folder, removed with the object.
class TempFolder {
public:
    TempFolder() {
        std::random_device random;
        path_ = fs::temp_directory_path() / ("lintaro-platform-" + std::to_string(random()));
        fs::create_directories(path_);
    }
    ~TempFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// Runs the probe program with one argument; its exit code, -1 when it did not end.
int RunProbe(const std::string& argument) {
#ifdef _WIN32
    std::wstring command =
        L"\"" + ProbePath().wstring() + L"\" " + std::wstring(argument.begin(), argument.end());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info)) {
        return -1;
    }
    DWORD code = static_cast<DWORD>(-1);
    if (WaitForSingleObject(info.hProcess, 10000) == WAIT_OBJECT_0) {
        GetExitCodeProcess(info.hProcess, &code);
    } else {
        ::TerminateProcess(info.hProcess, 1);
    }
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return static_cast<int>(code);
#else
    std::string program = ProbePath().string();
    std::string arg = argument;
    char* argv[] = {program.data(), arg.data(), nullptr};
    pid_t pid = -1;
    if (::posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ) != 0) return -1;
    int status = 0;
    if (!WaitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; })) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
}

bool ProcessAlive(std::uint32_t pid) {
#ifdef _WIN32
    const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (process == nullptr) return false;
    const bool alive = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return alive;
#else
    // Reaped by the terminate; a zombie would still answer kill(pid, 0).
    return ::kill(static_cast<pid_t>(pid), 0) == 0;
#endif
}

enum class EntryKind { None, LinkToFolder, Other };

// What is at `path` itself, a link not followed.
EntryKind Entry(const fs::path& path) {
#ifdef _WIN32
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return EntryKind::None;
    const DWORD link = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY;
    return (attributes & link) == link ? EntryKind::LinkToFolder : EntryKind::Other;
#else
    const fs::file_status status = fs::symlink_status(path);
    if (!fs::exists(status)) return EntryKind::None;
    return fs::is_symlink(status) && fs::is_directory(path) ? EntryKind::LinkToFolder
                                                            : EntryKind::Other;
#endif
}

// --- file version --------------------------------------------------------------------

TEST(FileVersion, this_program_carries_the_project_version) {
    EXPECT_EQ(GetFileVersionUtf8(SelfPath()), LINTARO_TEST_VERSION);
    EXPECT_EQ(std::string(LINTARO_TEST_VERSION), "2.0.0.37");
}

TEST(FileVersion, no_name_no_file_a_folder_and_a_file_without_block_give_nothing) {
    const TempFolder folder;
    WriteAll(folder.path() / "plain.exe", "MZ no version block here");
    for (const fs::path& name :
         {fs::path(), folder.path() / "missing.exe", folder.path(), folder.path() / "plain.exe"}) {
        EXPECT_EQ(GetFileVersionUtf8(name), "") << name;
    }
}

#ifdef _WIN32
TEST(FileVersion, the_block_is_russian_in_code_page_1251_with_cyrillic_text) {
    const std::wstring self = SelfPath().wstring();
    DWORD ignored = 0;
    std::vector<BYTE> block(GetFileVersionInfoSizeW(self.c_str(), &ignored));
    ASSERT_FALSE(block.empty());
    ASSERT_TRUE(
        GetFileVersionInfoW(self.c_str(), 0, static_cast<DWORD>(block.size()), block.data()));
    void* value = nullptr;
    UINT size = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &value, &size));
    ASSERT_EQ(size, 4u);
    EXPECT_EQ(static_cast<const WORD*>(value)[0], 0x0419);
    EXPECT_EQ(static_cast<const WORD*>(value)[1], 1251);
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\StringFileInfo\\041904E3\\FileDescription", &value,
                               &size));
    EXPECT_EQ(std::wstring(static_cast<const wchar_t*>(value)), L"Мастер подключения");
}

TEST(FileVersion, the_first_listed_translation_that_has_the_text_gives_it) {
    // The probe's table lists English first, whose string table is missing.
    EXPECT_EQ(GetFileVersionUtf8(ProbePath()), "9.8.7.6-проба");
}
#endif

// --- single-instance sign ------------------------------------------------------------

class InstanceSignTest : public testing::Test {
protected:
#ifndef _WIN32
    // A sign of this test's own, apart from a real copy of the program and other tests.
    void SetUp() override {
        const char* old = std::getenv("XDG_RUNTIME_DIR");
        FOldRuntime = old != nullptr ? std::optional<std::string>(old) : std::nullopt;
        // A runtime folder is the user's alone; one open to others would not be used.
        fs::permissions(FRuntime.path(), fs::perms::owner_all);
        ::setenv("XDG_RUNTIME_DIR", FRuntime.path().c_str(), 1);
    }
    void TearDown() override {
        if (FOldRuntime) {
            ::setenv("XDG_RUNTIME_DIR", FOldRuntime->c_str(), 1);
        } else {
            ::unsetenv("XDG_RUNTIME_DIR");
        }
    }
    TempFolder FRuntime;
    std::optional<std::string> FOldRuntime;
#endif
};

TEST_F(InstanceSignTest, a_second_copy_is_refused_until_the_first_lets_the_sign_go) {
    InstanceSign first;
    ASSERT_TRUE(first.TryAcquire());
    EXPECT_TRUE(first.TryAcquire()) << "taking it again is no second copy";

    InstanceSign second;
    EXPECT_FALSE(second.TryAcquire());
    EXPECT_EQ(RunProbe("--sign"), 3) << "another process sees the sign";

    first.Release();
    EXPECT_TRUE(second.TryAcquire());
    second.Release();
    EXPECT_EQ(RunProbe("--sign"), 0);
    // The probe held the sign only while it ran.
    EXPECT_TRUE(first.TryAcquire());
}

#ifndef _WIN32
TEST_F(InstanceSignTest, another_user_cannot_take_the_place_of_the_sign_before_the_first_start) {
    // No runtime folder: the sign's folder goes into the home, which only the user may
    // change; a name in a shared folder such as /tmp could be taken first.
    ::unsetenv("XDG_RUNTIME_DIR");
    TempFolder shared, home;
    fs::permissions(shared.path(), fs::perms::all | fs::perms::sticky_bit);
    const std::optional<std::string> keptTmp =
        std::getenv("TMPDIR") ? std::optional<std::string>(std::getenv("TMPDIR")) : std::nullopt;
    const std::string keptHome = std::getenv("HOME") ? std::getenv("HOME") : "/";
    ::setenv("TMPDIR", shared.path().c_str(), 1);
    ::setenv("HOME", home.path().c_str(), 1);
    const std::string folder =
        (shared.path() / ("lintaro-" + std::to_string(::geteuid()))).native();
    const std::string lock = folder + "/TMainLintaroForm.lock";

    // The other user makes the folder of the old name and the sign's file in it.
    std::string why;
    const int planted = test::RunAsOtherUser(
        [&] {
            if (::mkdir(folder.c_str(), 0777) != 0 || ::chmod(folder.c_str(), 0777) != 0) return 1;
            const int fd = ::open(lock.c_str(), O_RDWR | O_CREAT, 0666);
            return fd >= 0 && ::fchmod(fd, 0666) == 0 ? 0 : 2;
        },
        why);
    InstanceSign sign;
    const bool taken = sign.TryAcquire() && sign.Held();
    keptTmp ? ::setenv("TMPDIR", keptTmp->c_str(), 1) : ::unsetenv("TMPDIR");
    ::setenv("HOME", keptHome.c_str(), 1);
    if (planted < 0) GTEST_SKIP() << why;
    ASSERT_EQ(planted, 0);
    EXPECT_TRUE(taken) << sign.Problem();
    EXPECT_TRUE(fs::exists(home.path() / ".cache")) << "the sign is not in the home";
}
#endif

#ifdef _WIN32
TEST_F(InstanceSignTest, the_sign_is_a_hidden_window_of_the_main_window_class) {
    InstanceSign sign;
    ASSERT_TRUE(sign.TryAcquire());
    const HWND window = FindWindowW(L"TMainLintaroForm", nullptr);
    ASSERT_NE(window, nullptr);
    EXPECT_FALSE(IsWindowVisible(window));
    EXPECT_EQ(GetParent(window), nullptr);
    sign.Release();
    EXPECT_EQ(FindWindowW(L"TMainLintaroForm", nullptr), nullptr);
}
#endif

// --- configuration program: copy, start, end ----------------------------------------

class SetupProcessTest : public testing::Test {
protected:
    void SetUp() override {
#ifndef _WIN32
        // The copies go to the user's private folder in the home: one of this test's own,
        // so that removing stale copies here touches no one else's.
        FOldHome = Variable("HOME");
        FOldRuntime = Variable("XDG_RUNTIME_DIR");
        fs::permissions(FScratch.path(), fs::perms::owner_all);
        ::setenv("HOME", FScratch.path().c_str(), 1);
        ::unsetenv("XDG_RUNTIME_DIR");
#endif
        ASSERT_TRUE(fs::exists(ProbePath())) << ProbePath();
        fs::copy_file(ProbePath(), FProgram);
        std::random_device random;
        const fs::path temp = setupprocess::TempFolder(FProblem);
        ASSERT_FALSE(temp.empty());
        FCopy = temp / ("lintaro-probe-" + std::to_string(random()) + ".exe");
    }
    void TearDown() override {
        if (FStarted.process != 0) setupprocess::TerminateProcess(FStarted);
        std::error_code ignored;
        fs::remove(FCopy, ignored);
#ifndef _WIN32
        Restore("HOME", FOldHome);
        Restore("XDG_RUNTIME_DIR", FOldRuntime);
#endif
    }

#ifndef _WIN32
    static std::optional<std::string> Variable(const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
    }
    static void Restore(const char* name, const std::optional<std::string>& value) {
        if (value) {
            ::setenv(name, value->c_str(), 1);
        } else {
            ::unsetenv(name);
        }
    }
    TempFolder FScratch;  // HOME
    std::optional<std::string> FOldHome;
    std::optional<std::string> FOldRuntime;
#endif
    TempFolder FFolder;  // the program folder
    fs::path FProgram = FFolder.path() / "probesetup";
    fs::path FCopy;
    setupprocess::StartedProcess FStarted;
    std::string FProblem;
};

TEST_F(SetupProcessTest, the_temporary_folder_exists_and_ends_with_a_separator) {
    const fs::path temp = setupprocess::TempFolder(FProblem);
    EXPECT_TRUE(fs::is_directory(temp)) << temp;
    const auto text = temp.native();
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), fs::path::preferred_separator);
}

TEST_F(SetupProcessTest, the_copy_runs_in_the_program_folder_until_ended_and_is_then_deleted) {
    ASSERT_EQ(setupprocess::CopyForStart(FProgram, FCopy, FProblem),
              setupprocess::CopyResult::Ready);
    EXPECT_EQ(ReadAll(FCopy), ReadAll(FProgram));

    ASSERT_EQ(setupprocess::StartProcess(FCopy, FFolder.path(), FStarted, FProblem),
              setupprocess::StartResult::Started);
    EXPECT_NE(FStarted.process, 0);
    const std::uint32_t pid = FStarted.processId;
    EXPECT_NE(pid, 0u);
    const fs::path reportFile = FFolder.path() / "probe.txt";
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(reportFile); }));
    auto report = ReadReport(reportFile);
    EXPECT_EQ(report["argc"], "1") << "started with no arguments";
    const std::string cwd = report["cwd"];
    EXPECT_TRUE(fs::equivalent(fs::path(std::u8string(cwd.begin(), cwd.end())), FFolder.path()))
        << cwd;
#ifdef _WIN32
    // Shown normally, as the start-up record asks.
    EXPECT_EQ(std::stoul(report["startup_flags"]) & STARTF_USESHOWWINDOW, 1u);
    EXPECT_EQ(report["show_window"], std::to_string(SW_SHOWNORMAL));
#endif
    EXPECT_TRUE(ProcessAlive(pid));

    setupprocess::TerminateProcess(FStarted);
    EXPECT_EQ(FStarted.process, 0);
    EXPECT_EQ(FStarted.thread, 0);
    EXPECT_EQ(FStarted.processId, 0u);
    EXPECT_TRUE(WaitUntil([&] { return !ProcessAlive(pid); }));

    // Right after the end the copy is free to go.
    setupprocess::DeleteCopy(FCopy);
    EXPECT_FALSE(fs::exists(FCopy));
    // A second delete of a copy that is gone is quiet.
    setupprocess::DeleteCopy(FCopy);
}

TEST_F(SetupProcessTest, a_stale_copy_is_replaced_and_an_equal_one_is_kept) {
    WriteAll(FCopy, "an older program");
    ASSERT_EQ(setupprocess::CopyForStart(FProgram, FCopy, FProblem),
              setupprocess::CopyResult::Ready);
    EXPECT_EQ(ReadAll(FCopy), ReadAll(FProgram));
    EXPECT_EQ(setupprocess::CopyForStart(FProgram, FCopy, FProblem),
              setupprocess::CopyResult::Ready);
    EXPECT_EQ(ReadAll(FCopy), ReadAll(FProgram));
    // A source that cannot be read is no copy.
    EXPECT_EQ(setupprocess::CopyForStart(FFolder.path() / "missing", FCopy, FProblem),
              setupprocess::CopyResult::Failed);
}

TEST_F(SetupProcessTest, a_program_that_is_missing_or_no_program_does_not_start) {
    EXPECT_NE(setupprocess::StartProcess(FFolder.path() / "missing.exe", FFolder.path(), FStarted,
                                         FProblem),
              setupprocess::StartResult::Started);
    WriteAll(FCopy, "not a program");
    EXPECT_NE(setupprocess::StartProcess(FCopy, FFolder.path(), FStarted, FProblem),
              setupprocess::StartResult::Started);
    EXPECT_EQ(FStarted.process, 0);
    EXPECT_EQ(FStarted.processId, 0u);
}

TEST_F(SetupProcessTest, a_link_to_a_folder_at_the_copys_place_is_removed_but_not_the_folder) {
    const fs::path folder = FFolder.path() / "target";
    fs::create_directory(folder);
    WriteAll(folder / "kept.txt", "kept");
#ifdef _WIN32
    // Needs the right to make links (an administrator, or developer mode). Wine 8 reports
    // success but makes nothing.
    if (!CreateSymbolicLinkW(
            FCopy.c_str(), folder.c_str(),
            SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) ||
        Entry(FCopy) == EntryKind::None) {
        GTEST_SKIP() << "no link to a folder can be made here";
    }
#else
    fs::create_directory_symlink(folder, FCopy);
#endif
    ASSERT_EQ(Entry(FCopy), EntryKind::LinkToFolder);
    setupprocess::DeleteCopy(FCopy);
    EXPECT_EQ(Entry(FCopy), EntryKind::None);
    EXPECT_EQ(ReadAll(folder / "kept.txt"), "kept");
}

#ifndef _WIN32
// Not our child once its parent is gone: reaped by someone else, or a zombie meanwhile.
bool ProcessGone(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text)) return true;
    const std::size_t close = text.rfind(')');
    return close != std::string::npos && text.compare(close + 2, 1, "Z") == 0;
}

// The program dies with a killed wizard; what it started itself, and its copy, go at the
// wizard's next start, as does a program an earlier run left running.
TEST_F(SetupProcessTest, what_a_killed_wizard_started_ends_with_it_or_at_the_next_start) {
    // A program that starts a helper of its own, as an installer or updater would, and a
    // keeper of something the user started apart from it (its child without the mark).
    fs::remove(FProgram);
    WriteAll(FProgram,
             "#!/bin/sh\nsleep 600 &\necho $! > helper.part\n"
             "sh -c 'env -u LINTARO_RUN_MARK sleep 600 & wait' &\necho $! > keeper.txt\n"
             "mv helper.part helper.txt\necho argc=$# > probe.txt\nexec sleep 600\n");
    fs::permissions(FProgram, fs::perms::owner_all);
    ASSERT_EQ(setupprocess::CopyForStart(FProgram, FCopy, FProblem),
              setupprocess::CopyResult::Ready);

    // Still running when the next start comes (here: the same wizard's): ended.
    ASSERT_EQ(setupprocess::StartProcess(FCopy, FFolder.path(), FStarted, FProblem),
              setupprocess::StartResult::Started);
    const auto first = static_cast<pid_t>(FStarted.processId);
    FStarted = {};
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(FFolder.path() / "helper.txt"); }));
    const pid_t firstHelper = std::stoi(ReadAll(FFolder.path() / "helper.txt"));
    setupprocess::EndEarlierRuns();
    EXPECT_TRUE(WaitUntil([&] { return ProcessGone(first) && ProcessGone(firstHelper); }));
    ::kill(-first, SIGKILL);  // the keeper and its child
    int status = 0;
    ::waitpid(first, &status, WNOHANG);
    fs::remove(FFolder.path() / "helper.txt");
    fs::remove(FFolder.path() / "probe.txt");
    ASSERT_EQ(setupprocess::CopyForStart(FProgram, FCopy, FProblem),
              setupprocess::CopyResult::Ready);

    int channel[2];
    ASSERT_EQ(::pipe(channel), 0);
    // The wizard: starts the program, reports its id and waits to be killed.
    const pid_t wizard = ::fork();
    ASSERT_GE(wizard, 0);
    if (wizard == 0) {
        setupprocess::StartedProcess started;
        std::string problem;
        const pid_t program =
            (setupprocess::StartProcess(FCopy, FFolder.path(), started, problem) ==
             setupprocess::StartResult::Started)
                ? started.processId
                : 0;
        [[maybe_unused]] const ssize_t n = ::write(channel[1], &program, sizeof program);
        for (;;) ::pause();
    }
    ::close(channel[1]);
    pid_t program = 0;
    ASSERT_EQ(::read(channel[0], &program, sizeof program), static_cast<ssize_t>(sizeof program));
    ::close(channel[0]);
    ASSERT_GT(program, 0);
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(FFolder.path() / "probe.txt"); }));
    EXPECT_FALSE(ProcessGone(program));

    ASSERT_TRUE(WaitUntil([&] { return fs::exists(FFolder.path() / "helper.txt"); }));
    const pid_t helper = std::stoi(ReadAll(FFolder.path() / "helper.txt"));

    ::kill(wizard, SIGKILL);
    ASSERT_EQ(::waitpid(wizard, &status, 0), wizard);
    EXPECT_TRUE(WaitUntil([&] { return ProcessGone(program); }));
    EXPECT_FALSE(ProcessGone(helper)) << "a helper outlives the program";

    // The copy stayed; the next start of the wizard removes it and every half-written
    // one, but nothing that is not a copy.
    ASSERT_TRUE(fs::exists(FCopy));
    const fs::path folder = FCopy.parent_path();
    WriteAll(folder / ".cp-AbC123", "half");
    WriteAll(folder / "TMainLintaroForm.lock", "");
    fs::create_directory(folder / "folder.exe");
    const pid_t keeper = std::stoi(ReadAll(FFolder.path() / "keeper.txt"));
    setupprocess::EndEarlierRuns();
    EXPECT_TRUE(WaitUntil([&] { return ProcessGone(helper); }));
    EXPECT_FALSE(ProcessGone(keeper)) << "what the user's unmarked process needs was ended";
    ::kill(-program, SIGKILL);
    EXPECT_FALSE(fs::exists(FCopy));
    EXPECT_FALSE(fs::exists(folder / ".cp-AbC123"));
    EXPECT_TRUE(fs::exists(folder / "TMainLintaroForm.lock"));
    EXPECT_TRUE(fs::is_directory(folder / "folder.exe"));
}

// A process id outlives its process: taken again by a daemon of the user's whose session
// bears it, it names nothing of this program's, and the next start must leave it alone.
TEST_F(SetupProcessTest, a_reused_id_of_the_program_is_not_ended_at_the_next_start) {
    ASSERT_EQ(setupprocess::CopyForStart(FProgram, FCopy, FProblem),
              setupprocess::CopyResult::Ready);
    const std::string command = "unshare --pid --fork --mount-proc '" + ProbePath().native() +
                                "' --reused-id '" + FCopy.native() + "' '" +
                                FFolder.path().native() + "'";
    const int status = std::system(command.c_str());
    if (!WIFEXITED(status) || WEXITSTATUS(status) == 1)
        GTEST_SKIP() << "no private process namespace here";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "5: the daemon was ended";
}

TEST_F(SetupProcessTest, a_script_starts_as_well_by_its_path) {
    // A script cannot run from a descriptor that closes on exec; it goes by its path.
    fs::remove(FProgram);
    WriteAll(FProgram, "#!/bin/sh\necho argc=$# > probe.txt\nexec sleep 600\n");
    fs::permissions(FProgram, fs::perms::owner_all);
    ASSERT_EQ(setupprocess::CopyForStart(FProgram, FCopy, FProblem),
              setupprocess::CopyResult::Ready);
    ASSERT_EQ(setupprocess::StartProcess(FCopy, FFolder.path(), FStarted, FProblem),
              setupprocess::StartResult::Started)
        << FProblem;
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(FFolder.path() / "probe.txt"); }));
}

TEST_F(SetupProcessTest, only_a_file_of_this_users_closed_to_others_is_started) {
    ASSERT_EQ(setupprocess::CopyForStart(FProgram, FCopy, FProblem),
              setupprocess::CopyResult::Ready);
    const fs::path link = FCopy.parent_path() / "link.exe";
    fs::create_symlink(FCopy, link);
    EXPECT_NE(setupprocess::StartProcess(link, FFolder.path(), FStarted, FProblem),
              setupprocess::StartResult::Started);
    fs::permissions(FCopy, fs::perms::group_write, fs::perm_options::add);
    EXPECT_NE(setupprocess::StartProcess(FCopy, FFolder.path(), FStarted, FProblem),
              setupprocess::StartResult::Started);
    EXPECT_NE(FProblem.find("closed to others"), std::string::npos) << FProblem;
    fs::permissions(FCopy, fs::perms::group_write, fs::perm_options::remove);
    ASSERT_EQ(::chown(FCopy.c_str(), test::OtherUserId, test::OtherUserId), 0);
    EXPECT_NE(setupprocess::StartProcess(FCopy, FFolder.path(), FStarted, FProblem),
              setupprocess::StartResult::Started);
    EXPECT_EQ(FStarted.process, 0);
    EXPECT_FALSE(fs::exists(FFolder.path() / "probe.txt"));
}
#endif

#ifdef _WIN32
TEST_F(SetupProcessTest, a_running_copy_is_neither_replaced_nor_deleted) {
    ASSERT_EQ(setupprocess::CopyForStart(FProgram, FCopy, FProblem),
              setupprocess::CopyResult::Ready);
    ASSERT_EQ(setupprocess::StartProcess(FCopy, FFolder.path(), FStarted, FProblem),
              setupprocess::StartResult::Started);
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(FFolder.path() / "probe.txt"); }));

    const fs::path newer = FFolder.path() / "newer";
    WriteAll(newer, "a newer program");
    EXPECT_EQ(setupprocess::CopyForStart(newer, FCopy, FProblem), setupprocess::CopyResult::InUse);
    EXPECT_EQ(ReadAll(FCopy), ReadAll(FProgram));
    EXPECT_FALSE(fs::exists(FCopy.native() + L".new"));

    setupprocess::DeleteCopy(FCopy);
    EXPECT_TRUE(fs::exists(FCopy)) << "a running program's file cannot be deleted";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}
#endif

#ifdef _WIN32
// The kernel ends the program with the wizard: the job's last handle closes with it.
TEST_F(SetupProcessTest, the_program_dies_with_a_killed_wizard) {
    ASSERT_EQ(setupprocess::CopyForStart(FProgram, FCopy, FProblem),
              setupprocess::CopyResult::Ready);
    std::wstring command = L"\"" + ProbePath().wstring() + L"\" --wizard \"" + FCopy.wstring() +
                           L"\" \"" + FFolder.path().wstring() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION wizard{};
    ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &wizard));
    const bool started = WaitUntil([&] {
        return fs::exists(FFolder.path() / "probe.txt") && fs::exists(FFolder.path() / "wizard.txt");
    });
    std::uint32_t program = 0;
    if (started) program = static_cast<std::uint32_t>(std::stoul(ReadAll(FFolder.path() / "wizard.txt")));
    ::TerminateProcess(wizard.hProcess, 9);
    WaitForSingleObject(wizard.hProcess, 10000);
    CloseHandle(wizard.hThread);
    CloseHandle(wizard.hProcess);
    ASSERT_TRUE(started);
    ASSERT_NE(program, 0u);
    EXPECT_TRUE(WaitUntil([&] { return !ProcessAlive(program); }));
}
#endif

}  // namespace
}  // namespace lintaro
